// The write-through page cache over an inner store, and the file store built on it.
