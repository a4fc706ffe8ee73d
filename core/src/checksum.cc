// CRC-32C of byte strings, and extension of a finished checksum.
