// Insert, get and delete by primary key. Outside a transaction a write is durable before memory
// changes; inside one it changes only the staged state and joins the pending segments.
#include "db/rows_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_ROWS)

}  // namespace quarn
