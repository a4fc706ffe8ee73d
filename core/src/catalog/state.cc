// The in-memory catalog.
