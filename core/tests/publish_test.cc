// Tests of publish.
