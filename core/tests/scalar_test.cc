// Tests of scalar.
