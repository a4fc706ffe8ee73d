// Byte stores: the Store interface every engine component is written against (storage/store.h),
// the in-memory VecStore and ReadOnceImage (storage/memory.h), the unbuffered RawFileStore
// (storage/raw_file.h) and the system calls under them (storage/system.h). The page-cached
// stores live in pager.h.
#pragma once

#include "storage/memory.h"
#include "storage/raw_file.h"
#include "storage/store.h"
#include "storage/system.h"
