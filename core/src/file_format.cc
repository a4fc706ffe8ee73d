// The 32-byte file header.
