// Tests of superblock.
