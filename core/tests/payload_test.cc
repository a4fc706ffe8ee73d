// Tests of payload.
