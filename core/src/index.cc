// The in-memory index state and the index payload.
