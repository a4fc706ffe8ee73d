// Record payloads of version 1.
