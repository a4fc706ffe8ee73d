// Record payloads of version 2.
