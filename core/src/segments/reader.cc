// Scanning and reading checksummed segments.
