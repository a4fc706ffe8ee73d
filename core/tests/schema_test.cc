// Tests of schema.
