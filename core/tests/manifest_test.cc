// Tests of manifest.
