// The store types every store-generic engine function is compiled for: files, byte vectors and
// the fault-injecting store the crash tests drive. A .cc that defines such a template
// instantiates it for each of these.
#pragma once

#include "pager.h"
#include "storage.h"
#include "testing/fault_store.h"

// X(StoreType) once per store type.
#define QUARN_FOR_EACH_STORE(X) \
  X(::quarn::VecStore)          \
  X(::quarn::FileStore)         \
  X(::quarn::testing::FaultStore)
