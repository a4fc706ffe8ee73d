// Tests of checksum.
