// Tests of row_value.
