// The manifest payload.
