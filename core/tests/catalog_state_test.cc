// Tests of catalog_state.
