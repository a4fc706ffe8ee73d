// The engine's store-generic templates compiled for the fault store, once for every test that
// opens a database or a segment log over it.
#include "checkpoint_impl.h"
#include "db/maintenance_impl.h"
#include "db/open_impl.h"
#include "db/recover_impl.h"
#include "db/registration_impl.h"
#include "db/replay_impl.h"
#include "db/rows_impl.h"
#include "db/transaction_impl.h"
#include "db/write_impl.h"
#include "publish_impl.h"
#include "segments/reader_impl.h"
#include "segments/writer_impl.h"
#include "superblock_impl.h"
#include "testing/fault_store.h"

namespace quarn {

QUARN_INSTANTIATE_SEGMENTS_READER(testing::FaultStore)
QUARN_INSTANTIATE_SEGMENTS_WRITER(testing::FaultStore)
QUARN_INSTANTIATE_SUPERBLOCK(testing::FaultStore)
QUARN_INSTANTIATE_PUBLISH(testing::FaultStore)
QUARN_INSTANTIATE_DB_RECOVER(testing::FaultStore)
QUARN_INSTANTIATE_DB_REPLAY(testing::FaultStore)
QUARN_INSTANTIATE_CHECKPOINT(testing::FaultStore)
QUARN_INSTANTIATE_DB_WRITE(testing::FaultStore)
QUARN_INSTANTIATE_DB_OPEN(testing::FaultStore)
QUARN_INSTANTIATE_DB_TRANSACTION(testing::FaultStore)
QUARN_INSTANTIATE_DB_ROWS(testing::FaultStore)
QUARN_INSTANTIATE_DB_REGISTRATION(testing::FaultStore)
QUARN_INSTANTIATE_DB_MAINTENANCE(testing::FaultStore)

}  // namespace quarn
