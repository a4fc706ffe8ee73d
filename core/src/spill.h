// The external sort behind ORDER BY with a spill directory: order-preserving sort keys, sorted
// runs written as temporary segments to a private temporary file, and the heap merge that
// delivers them. The database file is never written by a query.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "db/state/state_view.h"
#include "query/ast.h"
#include "query/operators.h"
#include "record/row_value.h"
#include "result.h"

namespace quarn {

// Most sort items held in memory at once while runs are generated; each full buffer is a run.
inline constexpr std::size_t kSpillRunItems = 2048;

// Where sorts make their temporary files: $TMPDIR when it names a directory, else /tmp.
std::string spill_temp_dir();

// Runs the query. Without an ordering: execute_query_iter. With one but no spill directory: the
// in-memory ordering, materialised. Otherwise the external sort over the plan's rows, streaming
// its merge (ExternalSortSource) with the limit applied to the merged order: a limit of at most
// kSpillRunItems keeps only that many items, in a bounded heap, and never makes a file; else runs
// are spilled to a private temporary file in spill_dir (unnamed, mode 0600, gone with its handle
// before this returns). The iterator keeps the view of state. Errors:
// SchemaError::UnknownCollectionId before any file is made; DbError::Io when the temporary file
// cannot be made, written or read.
Result<QueryRowIter> execute_query_iter_with_spill_path(
    const StateView& state, const Query& query, const std::optional<std::string>& spill_dir);

// The rows execute_query_iter_with_spill_path(state, query, spill_dir) yields, in its order, where
// the state holds them (valid until it changes), for a reader that converts them in place: an
// ordering drains the external sort's iterator by view, and without one the plan's rows are
// taken as found (execute_query_refs, the same rows). Errors: those of the iterator.
Result<std::vector<RowView>> query_result_rows(const StateView& state, const Query& query,
                                               const std::string& spill_dir);

}  // namespace quarn
