// dbapi: connect, Connection and Cursor. A cursor keeps a plan, a buffer of tuples and, once a
// fetch has run the plan under the database mutex (an ORDER BY sorts through a private
// temporary file, never the database file), the result's rows in order with a share of the
// tables they lie in; later fetches take the next rows from it. Tuples are built after the
// mutex is released.
#include "dbapi.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "database.h"
#include "db/helpers.h"
#include "db/state/state_view.h"
#include "errors.h"
#include "paths.h"
#include "query/ast.h"
#include "row_values.h"
#include "spill.h"
#include "sql.h"

namespace quarn::py {
namespace {

// Rows per refill of fetchall.
constexpr std::uint64_t kFetchAllBatch = 1024;

struct PlannedSelect {
  Query query;
  std::vector<FieldPath> projection;
  std::optional<std::vector<FieldDef>> field_defs;  // absent for "*"
};

struct PyConnection {
  explicit PyConnection(nb::object database) : db(std::move(database)) {}
  nb::object db;
  bool closed = false;
};

class DirectColumns;

// A plan's result rows in order, and the tables they lie in. The rows were found through this
// share of the committed rows, which keeps the tables alive and unchanged (a later write to the
// database copies a table before changing it), so they can be read without the mutex for as
// long as this is held. One pointer per row of the result.
struct ResultRows {
  SharedRows tables;
  std::vector<RowView> rows;
};

struct PyCursor {
  explicit PyCursor(nb::object database) : db(std::move(database)) {}
  nb::object db;
  std::shared_ptr<const PlannedSelect> plan;  // shared: a refill keeps its own while it converts
  // How the plan's tuples are made, worked out once per execute rather than per refill.
  std::shared_ptr<const std::optional<DirectColumns>> direct;
  // The plan's result, found by the first refill that reads rows.
  std::shared_ptr<const ResultRows> result;
  std::deque<nb::object> buffer;
  std::uint64_t fetched = 0;
  nb::object description = nb::none();
  bool closed = false;
};

const FieldDef& field_for_path(const std::vector<FieldDef>& fields, const FieldPath& path) {
  const FieldDef* def = field_with_segments(fields, path.segments());
  if (def == nullptr) raise_value_error("unknown field path " + debug_string_list(path.segments()));
  return *def;
}

template <class Out, class In>
Predicate comparison(const In& in, const std::vector<FieldDef>& fields, nb::handle params) {
  const FieldDef& def = field_for_path(fields, in.path);
  nb::handle param =
      PySequence_Fast_GET_ITEM(params.ptr(), static_cast<Py_ssize_t>(in.value.index));
  return Out{{in.path, scalar_from_py(param, def.type)}};
}

// params is a list or tuple holding exactly the statement's parameter count.
Predicate build_predicate(const std::vector<FieldDef>& fields, const SqlPredicate& sql,
                          nb::handle params) {
  return std::visit(
      Overloaded{
          [&](const SqlPredicate::Eq& p) { return comparison<Predicate::Eq>(p, fields, params); },
          [&](const SqlPredicate::Lt& p) { return comparison<Predicate::Lt>(p, fields, params); },
          [&](const SqlPredicate::Lte& p) { return comparison<Predicate::Lte>(p, fields, params); },
          [&](const SqlPredicate::Gt& p) { return comparison<Predicate::Gt>(p, fields, params); },
          [&](const SqlPredicate::Gte& p) { return comparison<Predicate::Gte>(p, fields, params); },
          [&](const SqlPredicate::And& p) -> Predicate {
            Predicate::And out;
            for (const SqlPredicate& child : p.children) {
              out.children.push_back(build_predicate(fields, child, params));
            }
            return out;
          },
          [&](const SqlPredicate::Or& p) -> Predicate {
            Predicate::Or out;
            for (const SqlPredicate& child : p.children) {
              out.children.push_back(build_predicate(fields, child, params));
            }
            return out;
          },
      },
      sql.value());
}

nb::object make_description(const std::vector<std::string>& names) {
  nb::list columns;
  for (const std::string& name : names) {
    columns.append(nb::make_tuple(nb::str(name.data(), name.size()), nb::none(), nb::none(),
                                  nb::none(), nb::none(), nb::none(), nb::none()));
  }
  return nb::tuple(columns);
}

// The column's value: walk its path through the row's dictionary.
nb::object column_value(nb::handle dict, const FieldPath& path) {
  nb::object current = nb::borrow(dict);
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (current.is_none()) return nb::none();
    if (!PyDict_Check(current.ptr())) {
      raise_value_error("expected dict at path segment " + std::to_string(i));
    }
    const std::string& segment = path.segments()[i];
    nb::object key = nb::str(segment.data(), segment.size());
    PyObject* found = PyDict_GetItemWithError(current.ptr(), key.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      return nb::none();
    }
    current = nb::borrow(found);
  }
  return current;
}

// Columns that are all one-segment paths: the tuple is made straight from the row. Mirrors the
// general path (the row, or its subset by the columns, converted to a dict, then looked up per
// column): the same fields are converted, in the row's order, and a repeated column repeats
// the same object.
class DirectColumns {
 public:
  // Nothing when a column has more than one segment.
  static std::optional<DirectColumns> make(const PlannedSelect& plan) {
    DirectColumns out;
    out.convert_all_ = !plan.field_defs;
    for (std::size_t i = 0; i < plan.projection.size(); ++i) {
      if (!plan.projection[i].is_top_level()) return std::nullopt;
      out.slots_.emplace_back(plan.projection[i].first(), i);
    }
    std::stable_sort(out.slots_.begin(), out.slots_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
  }

  nb::object tuple_of(RowView row, std::size_t width) const {
    nb::object out = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(width)));
    if (!out.is_valid()) throw nb::python_error();
    if (convert_all_) {
      std::size_t slot = 0;
      for (const RowView::Field field : row) {
        while (slot < slots_.size() && slots_[slot].first < field.name) ++slot;
        place(out, slot, field.name, row_value_to_py(field.value));
      }
    } else {
      // The listed names in ascending order: the order the row's own walk would meet them.
      for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (slot > 0 && slots_[slot].first == slots_[slot - 1].first) continue;
        if (const std::optional<ValueView> value = row.find(slots_[slot].first)) {
          place(out, slot, slots_[slot].first, row_value_to_py(*value));
        }
      }
    }
    // Columns the row lacks are None.
    for (std::size_t i = 0; i < width; ++i) {
      if (PyTuple_GetItem(out.ptr(), static_cast<Py_ssize_t>(i)) == nullptr) {
        PyErr_Clear();
        PyTuple_SetItem(out.ptr(), static_cast<Py_ssize_t>(i), nb::none().inc_ref().ptr());
      }
    }
    return out;
  }

 private:
  // Puts value into every column named name, from slot on.
  void place(nb::handle tuple, std::size_t slot, std::string_view name,
             const nb::object& value) const {
    for (; slot < slots_.size() && slots_[slot].first == name; ++slot) {
      PyTuple_SetItem(tuple.ptr(), static_cast<Py_ssize_t>(slots_[slot].second),
                      value.inc_ref().ptr());
    }
  }

  std::vector<std::pair<std::string, std::size_t>> slots_;  // (name, column), by name
  bool convert_all_ = false;                                // "*": the whole row is converted
};

void refill(PyCursor& cursor, std::uint64_t want) {
  if (want == 0 || cursor.buffer.size() >= want || !cursor.plan) return;
  const std::shared_ptr<const PlannedSelect> plan = cursor.plan;
  const std::shared_ptr<const std::optional<DirectColumns>> direct_columns = cursor.direct;
  const std::uint64_t skip = cursor.fetched;
  const std::uint64_t take = want - cursor.buffer.size();
  std::shared_ptr<const ResultRows> result = cursor.result;
  // Taken on every refill with work to do, as a run of the query would: a poisoned mutex fails
  // the fetch even when the result is already known.
  Status run = with_inner(database_from(cursor.db), [&](InnerDb& inner) -> Status {
    if (result) return ok_status();
    return inner.visit([&](auto& engine) -> Status {
      const StateView committed = engine.committed_state();
      auto found = std::make_shared<ResultRows>();
      found->tables = committed.share_rows();
      QUARN_ASSIGN_OR_RETURN(found->rows, query_result_rows(committed.reading(found->tables),
                                                            plan->query, spill_temp_dir()));
      result = std::move(found);
      return ok_status();
    });
  });
  unwrap(std::move(run));
  if (cursor.plan == plan) cursor.result = result;
  const std::vector<RowView>& keys = result->rows;
  const std::size_t end =
      static_cast<std::size_t>(std::min<std::uint64_t>(keys.size(), skip + take));
  // result is held here, so its rows stay put while conversion runs Python code, even if that
  // code closes or re-executes the cursor.
  const std::span<const RowView> rows = std::span(keys)
                                            .subspan(std::min<std::size_t>(skip, end))
                                            .first(end - std::min<std::size_t>(skip, end));
  const std::optional<DirectColumns>& direct = *direct_columns;
  RowDictMaker make_dict;
  for (const RowView row : rows) {
    if (direct) {
      cursor.buffer.push_back(direct->tuple_of(row, plan->projection.size()));
    } else {
      nb::object dict = plan->field_defs
                            ? make_dict(row_subset_by_field_defs(row.to_row(), *plan->field_defs))
                            : make_dict(row);
      nb::list values;
      for (const FieldPath& path : plan->projection) values.append(column_value(dict, path));
      cursor.buffer.push_back(nb::tuple(values));
    }
    ++cursor.fetched;
  }
}

PyCursor& cursor_from(nb::handle self) { return *nb::inst_ptr<PyCursor>(self); }

// connect.

constexpr Signature kConnect{"connect", {"path"}, 1, 1};
nb::object connect(nb::handle, const BoundArgs& a) {
  const std::string path = str_arg("path", a[0]);
  // The adapter only reads: its handle never writes the file it reads.
  nb::object db =
      new_instance<PyDatabase>(InnerDb(unwrap(Database<FileStore>::open_for_reading(path))));
  return new_instance<PyConnection>(std::move(db));
}

// Connection.

constexpr Signature kConnectionCursor{"Connection.cursor", {}, 0, 0};
nb::object connection_cursor(nb::handle self, const BoundArgs&) {
  const PyConnection& connection = *nb::inst_ptr<PyConnection>(self);
  if (connection.closed) raise_runtime_error("connection is closed");
  return new_instance<PyCursor>(connection.db);
}

constexpr Signature kConnectionClose{"Connection.close", {}, 0, 0};
nb::object connection_close(nb::handle self, const BoundArgs&) {
  nb::inst_ptr<PyConnection>(self)->closed = true;
  return nb::none();
}

constexpr Signature kConnectionCommit{"Connection.commit", {}, 0, 0};
constexpr Signature kConnectionRollback{"Connection.rollback", {}, 0, 0};
nb::object do_nothing(nb::handle, const BoundArgs&) { return nb::none(); }

// Cursor.

constexpr Signature kCursorExecute{"Cursor.execute", {"sql", "params"}, 2, 1};
nb::object cursor_execute(nb::handle self, const BoundArgs& a) {
  PyCursor& cursor = cursor_from(self);
  if (cursor.closed) raise_runtime_error("cursor is closed");
  const std::string sql = str_arg("sql", a[0]);
  const SqlSelect select = unwrap(parse_select(sql));

  nb::object params = nb::tuple();
  if (a.given(1) && !a[1].is_none()) {
    if (!PyTuple_Check(a[1].ptr()) && !PyList_Check(a[1].ptr())) {
      raise_value_error("params must be a tuple or list");
    }
    // A snapshot of the items, so that a conversion hook cannot shrink the list under us.
    params = nb::steal(PySequence_Tuple(a[1].ptr()));
    if (!params.is_valid()) throw nb::python_error();
  }
  const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(params.ptr()));
  if (given != select.param_count) {
    raise_value_error("expected " + std::to_string(select.param_count) + " SQL parameters, got " +
                      std::to_string(given));
  }

  PyDatabase& db = database_from(cursor.db);
  const std::shared_ptr<const CollectionInfo> shared_info = collection_info(db, select.collection);
  const CollectionInfo& info = *shared_info;
  const std::uint32_t id = unwrap(
      with_inner(db, [&](InnerDb& inner) { return inner.collection_id_named(select.collection); }));

  PlannedSelect plan;
  plan.query.collection_id = id;
  if (select.limit) plan.query.limit = static_cast<std::size_t>(*select.limit);
  if (select.predicate)
    plan.query.predicate = build_predicate(info.fields, *select.predicate, params);
  plan.query.order_by = select.order_by;

  std::vector<std::string> names;
  if (const auto* listed = select.columns.get_if<SqlColumns::Paths>()) {
    std::vector<FieldDef> defs;
    for (const FieldPath& path : listed->paths) {
      defs.push_back(field_for_path(info.fields, path));
      plan.projection.push_back(path);
      std::string name;
      for (const std::string& segment : path.segments()) {
        if (!name.empty()) name += '.';
        name += segment;
      }
      names.push_back(std::move(name));
    }
    plan.field_defs = std::move(defs);
  } else {
    for (const FieldDef& def : info.fields) {
      if (!def.path.is_top_level()) continue;
      plan.projection.push_back(def.path);
      names.push_back(def.path.first());
    }
  }
  nb::object description = make_description(names);

  cursor.description = std::move(description);
  cursor.plan = std::make_shared<const PlannedSelect>(std::move(plan));
  cursor.direct =
      std::make_shared<const std::optional<DirectColumns>>(DirectColumns::make(*cursor.plan));
  cursor.result.reset();
  cursor.buffer.clear();
  cursor.fetched = 0;
  return nb::none();
}

constexpr Signature kCursorFetchone{"Cursor.fetchone", {}, 0, 0};
nb::object cursor_fetchone(nb::handle self, const BoundArgs&) {
  PyCursor& cursor = cursor_from(self);
  refill(cursor, 1);
  if (cursor.buffer.empty()) return nb::none();
  nb::object row = std::move(cursor.buffer.front());
  cursor.buffer.pop_front();
  return row;
}

constexpr Signature kCursorFetchmany{"Cursor.fetchmany", {"size"}, 1, 0};
nb::object cursor_fetchmany(nb::handle self, const BoundArgs& a) {
  PyCursor& cursor = cursor_from(self);
  const std::uint64_t size = a.given(0) ? u64_arg("size", a[0]) : 1;
  nb::list out;
  refill(cursor, size);
  while (!cursor.buffer.empty() && out.size() < size) {
    out.append(cursor.buffer.front());
    cursor.buffer.pop_front();
  }
  return out;
}

constexpr Signature kCursorFetchall{"Cursor.fetchall", {}, 0, 0};
nb::object cursor_fetchall(nb::handle self, const BoundArgs&) {
  PyCursor& cursor = cursor_from(self);
  nb::list out;
  while (true) {
    refill(cursor, kFetchAllBatch);
    if (cursor.buffer.empty()) break;
    for (nb::object& row : cursor.buffer) out.append(row);
    cursor.buffer.clear();
  }
  return out;
}

constexpr Signature kCursorRefill{"Cursor.refill", {"want"}, 1, 1};
nb::object cursor_refill(nb::handle self, const BoundArgs& a) {
  const std::uint64_t want = u64_arg("want", a[0]);
  refill(cursor_from(self), want);
  return nb::none();
}

constexpr Signature kCursorClose{"Cursor.close", {}, 0, 0};
nb::object cursor_close(nb::handle self, const BoundArgs&) {
  PyCursor& cursor = cursor_from(self);
  cursor.closed = true;
  cursor.plan.reset();
  cursor.direct.reset();
  cursor.result.reset();
  cursor.buffer.clear();
  cursor.fetched = 0;
  cursor.description = nb::none();
  return nb::none();
}

PyMethodDef kConnectDef = method_def<kConnect, connect>("connect", "connect(path)\n--\n\n");

PyMethodDef kConnectionMethods[] = {
    method_def<kConnectionCursor, connection_cursor>("cursor", "cursor($self)\n--\n\n"),
    method_def<kConnectionClose, connection_close>("close", "close($self)\n--\n\n"),
    method_def<kConnectionCommit, do_nothing>("commit", "commit($self)\n--\n\n"),
    method_def<kConnectionRollback, do_nothing>("rollback", "rollback($self)\n--\n\n"),
};

PyMethodDef kCursorMethods[] = {
    method_def<kCursorExecute, cursor_execute>("execute",
                                               "execute($self, sql, params=None)\n--\n\n"),
    method_def<kCursorFetchone, cursor_fetchone>("fetchone", "fetchone($self)\n--\n\n"),
    method_def<kCursorFetchmany, cursor_fetchmany>("fetchmany", "fetchmany($self, size=1)\n--\n\n"),
    method_def<kCursorFetchall, cursor_fetchall>("fetchall", "fetchall($self)\n--\n\n"),
    method_def<kCursorRefill, cursor_refill>("refill", "refill($self, want)\n--\n\n"),
    method_def<kCursorClose, cursor_close>("close", "close($self)\n--\n\n"),
};

}  // namespace

void register_dbapi(nb::handle dbapi) {
  nb::module_ module = nb::borrow<nb::module_>(dbapi);
  nb::object connect_fn = nb::steal(PyCFunction_NewEx(&kConnectDef, nullptr, nullptr));
  if (!connect_fn.is_valid()) throw nb::python_error();
  add_to_module(module, "connect", connect_fn);

  nb::class_<PyConnection> connection(module, "Connection", nb::is_final(),
                                      nb::type_slots(kNoConstructorSlots),
                                      "A connection to one database file, read-only.");
  add_methods(connection, kConnectionMethods);
  finish_class(connection, "Connection");
  add_to_module(module, "Connection", connection);

  nb::class_<PyCursor> cursor(module, "Cursor", nb::is_final(), nb::type_slots(kNoConstructorSlots),
                              "Runs one SELECT at a time and fetches its rows as tuples.");
  add_methods(cursor, kCursorMethods);
  cursor.def_prop_ro("description", [](nb::handle self) { return cursor_from(self).description; });
  finish_class(cursor, "Cursor");
  add_to_module(module, "Cursor", cursor);
}

}  // namespace quarn::py
