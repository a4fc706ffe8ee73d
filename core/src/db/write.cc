// The commit path and the header upgrades, and the handle's commit helper that keeps the image
// openable after a failed commit.
#include "db/write.h"

#include "db/write_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_WRITE)

}  // namespace quarn
