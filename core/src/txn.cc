// The transaction-marker payload.
