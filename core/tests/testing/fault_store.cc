// A store wrapper that fails a chosen write, sync or truncate.
