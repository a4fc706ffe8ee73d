// Tests of segments.
