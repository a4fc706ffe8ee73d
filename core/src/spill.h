// The external sort behind ORDER BY with a spill directory: order-preserving sort keys, sorted
// runs written as temporary segments to a private temporary file, and the heap merge that
// delivers them. The database file is never written by a query.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "db/state_view.h"
#include "query/ast.h"
#include "query/operators.h"
#include "record/row_value.h"
#include "result.h"

namespace quarn {

// Most sort items held in memory at once while runs are generated; each full buffer is a run.
inline constexpr std::size_t kSpillRunItems = 2048;

// Where sorts make their temporary files: $TMPDIR when it names a directory, else /tmp.
std::string spill_temp_dir();

// The primary keys of the rows execute_query_iter_with_spill_path(..., spill_dir) yields, in its
// order and with its limit: the external sort for an ordering (a limit of at most
// kSpillRunItems keeps only that many items, in a bounded heap, and never spills). Errors:
// SchemaError::UnknownCollectionId; the spill file's i/o errors.
Result<std::vector<Bytes>> ordered_result_keys(const StateView& state, const Query& query,
                                               const std::string& spill_dir);

// The same result as the rows where the state holds them, valid until it changes.
Result<std::vector<RowView>> ordered_result_rows(const StateView& state, const Query& query,
                                                 const std::string& spill_dir);

// Runs the query. Without an ordering: execute_query_iter. With one but no spill directory: the
// in-memory ordering, materialised. Otherwise the external sort over the plan's source with
// runs spilled to a private temporary file in spill_dir (unnamed, mode 0600, gone with its
// handle), and the limit applied to the merged order; the iterator keeps the view of state. Errors:
// SchemaError::UnknownCollectionId before any file is made; DbError::Io when the temporary file
// cannot be made, written or read.
Result<QueryRowIter> execute_query_iter_with_spill_path(
    const StateView& state, const Query& query, const std::optional<std::string>& spill_dir);

}  // namespace quarn
