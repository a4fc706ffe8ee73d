// Tail recovery. The walk collects complete segments first and judges the transaction framing
// afterwards, so a torn segment inside an unfinished transaction still cuts at its begin marker.
#include "db/recover.h"

#include "db/recover_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_READ_STORE(QUARN_INSTANTIATE_DB_RECOVER)

}  // namespace quarn
