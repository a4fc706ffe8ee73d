// Row values and rows, and their encoding.
