// Superblocks and the choice of slot.
