// Tests of pager.
