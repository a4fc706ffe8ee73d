// Tests of txn.
