// Transactions: begin lays empty overlays over the committed rows and indexes (and copies the
// catalog, which shares its state), commit writes the staged segments as one framed transaction
// and only then applies the overlays' changes to the committed state.
#include "db/transaction_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_TRANSACTION)

}  // namespace quarn
