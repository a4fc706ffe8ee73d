// Tests of storage.
