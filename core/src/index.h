// Secondary indexes: the changes to them (entry), the ordered primary-key sets a non-unique
// index holds (pk_set), the maps in memory with their overlay (state), and the index payload that
// logs every change (payload). Keys and primary keys are opaque canonical key bytes.
#pragma once

#include "index/entry.h"
#include "index/payload.h"
#include "index/pk_set.h"
#include "index/state.h"
