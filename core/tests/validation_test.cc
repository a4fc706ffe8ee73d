// Tests of validation.
