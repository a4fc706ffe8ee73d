// The 32-byte segment header and the segment types.
