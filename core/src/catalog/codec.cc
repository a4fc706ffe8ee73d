// The catalog payload codec.
