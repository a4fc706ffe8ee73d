// Tests of catalog_codec.
