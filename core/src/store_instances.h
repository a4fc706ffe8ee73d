// The engine's store types: every store-generic template is compiled for each of them. Its body
// lives in a `*_impl.h` header, which the module's .cc includes and instantiates here through
// its QUARN_INSTANTIATE_* macro; another store (a test double) is instantiated the same way by
// whoever defines it.
#pragma once

#include "pager.h"
#include "storage.h"

// X(StoreType) once per store type.
#define QUARN_FOR_EACH_STORE(X) \
  X(::quarn::VecStore)          \
  X(::quarn::FileStore)

// X(StoreType) once per store type a log is read from: the engine's stores and the read-once copy
// of a file that an open recovers and replays.
#define QUARN_FOR_EACH_READ_STORE(X) \
  QUARN_FOR_EACH_STORE(X)            \
  X(::quarn::ReadOnceImage)
