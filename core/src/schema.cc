// Schema types: field paths, types, constraints and index definitions.
