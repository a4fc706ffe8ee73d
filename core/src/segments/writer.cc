// Appending checksummed segments.
