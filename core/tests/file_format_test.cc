// Tests of file_format.
