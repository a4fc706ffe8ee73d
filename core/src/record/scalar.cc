// Scalar values, their tagged encoding and canonical key bytes.
