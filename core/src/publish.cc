// Appending a manifest and publishing the next superblock.
