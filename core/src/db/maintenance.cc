// Backfill and index rebuild: each brings stored rows or index entries in line with the
// current schema as one transaction of its own, committed whole or not at all.
#include "db/maintenance_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_MAINTENANCE)

}  // namespace quarn
