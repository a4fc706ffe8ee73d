// Tests of index.
