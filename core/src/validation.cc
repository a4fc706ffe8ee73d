// Validation of rows against a schema.
