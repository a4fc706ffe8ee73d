// Collection and Query: immutable builders of equality filters, a limit and a projection. Values
// are converted when a filter is added; every run resolves the collection again and executes
// under the database mutex, and dictionaries are made only after it is released.
#include "query.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "database.h"
#include "db/helpers.h"
#include "errors.h"
#include "paths.h"
#include "query/ast.h"
#include "query/operators.h"
#include "query/planner.h"
#include "row_values.h"

namespace quarn::py {
namespace {

struct EqFilter {
  std::vector<std::string> segments;
  ScalarValue value;
};

struct QueryBuilder {
  nb::object db;
  std::string collection_name;
  std::vector<EqFilter> predicates;
  std::optional<std::size_t> limit;
};

std::optional<Predicate> build_predicate(const std::vector<EqFilter>& predicates) {
  std::vector<Predicate> eqs;
  eqs.reserve(predicates.size());
  for (const EqFilter& filter : predicates) {
    // The segments were checked when the filter was added.
    eqs.push_back(Predicate::Eq{{FieldPath::make(filter.segments).value(), filter.value}});
  }
  if (eqs.empty()) return std::nullopt;
  if (eqs.size() == 1) return std::move(eqs.front());
  return Predicate::And{std::move(eqs)};
}

nb::object new_query(QueryBuilder builder) {
  return new_instance<QueryBuilder>(std::move(builder));
}

// The filter list of `base` with one more equality on path; the steps of where and and_where.
QueryBuilder with_filter(const nb::object& db, const std::string& name,
                         std::vector<EqFilter> predicates, std::optional<std::size_t> limit,
                         nb::handle path, nb::handle value) {
  std::vector<std::string> segments = parse_path(path);
  const std::shared_ptr<const CollectionInfo> shared_info =
      collection_info(database_from(db), name);
  const CollectionInfo& info = *shared_info;
  if (!FieldPath::make(segments).ok()) raise_value_error("invalid path");
  const FieldDef* def = field_with_segments(info.fields, segments);
  if (def == nullptr) raise_value_error("unknown field path");
  ScalarValue scalar = scalar_from_py(value, def->type);
  predicates.push_back(EqFilter{std::move(segments), std::move(scalar)});
  return QueryBuilder{db, name, std::move(predicates), limit};
}

Query engine_query(const QueryBuilder& builder, std::uint32_t collection_id) {
  Query query;
  query.limit = builder.limit;
  query.predicate = build_predicate(builder.predicates);
  query.collection_id = collection_id;
  return query;
}

FieldDef one_path_to_field_def(const std::vector<FieldDef>& fields, nb::handle obj) {
  const std::vector<std::string> segments = parse_path(obj);
  if (!FieldPath::make(segments).ok()) raise_value_error("invalid path");
  const FieldDef* def = field_with_segments(fields, segments);
  if (def == nullptr) {
    raise_value_error("unknown field path for this collection: " + debug_string_list(segments));
  }
  return *def;
}

// The projection `fields` asks for, or nothing for whole rows.
std::optional<std::vector<FieldDef>> projection_from(const std::vector<FieldDef>& fields,
                                                     nb::handle obj) {
  if (!obj.is_valid() || obj.is_none()) return std::nullopt;
  std::vector<FieldDef> out;
  if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
    // Items are borrowed from a sequence we hold a reference to; fetch each one afresh, as a
    // conversion hook may change the list meanwhile.
    for (Py_ssize_t i = 0;; ++i) {
      // A subclass's __len__ may raise: that error passes, it does not end the list.
      const Py_ssize_t size = PySequence_Size(obj.ptr());
      if (size < 0) throw nb::python_error();
      if (i >= size) break;
      nb::object item = nb::steal(PySequence_GetItem(obj.ptr(), i));
      if (!item.is_valid()) throw nb::python_error();
      out.push_back(one_path_to_field_def(fields, item));
    }
    if (out.empty()) raise_value_error("fields must list at least one schema path");
  } else {
    out.push_back(one_path_to_field_def(fields, obj));
  }
  return out;
}

nb::object all_impl(const QueryBuilder& builder, nb::handle fields) {
  PyDatabase& db = database_from(builder.db);
  const std::shared_ptr<const CollectionInfo> shared_info =
      collection_info(db, builder.collection_name);
  const CollectionInfo& info = *shared_info;
  const std::optional<std::vector<FieldDef>> projection = projection_from(info.fields, fields);
  // The result's row images, copied under the mutex into one buffer; converted without it.
  struct Images {
    Bytes bytes;
    std::vector<std::size_t> starts;
  };
  Result<Images> copied = with_inner(db, [&](InnerDb& inner) -> Result<Images> {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t id,
                           inner.collection_id_named(builder.collection_name));
    const Query query = engine_query(builder, id);
    return inner.visit([&](auto& engine) -> Result<Images> {
      QUARN_ASSIGN_OR_RETURN(const std::vector<RowView> rows,
                             execute_query_refs(engine.state(), query));
      Images images;
      images.starts.reserve(rows.size());
      for (const RowView row : rows) {
        const ByteSpan image = row.image();
        images.starts.push_back(images.bytes.size());
        images.bytes.insert(images.bytes.end(), image.begin(), image.end());
      }
      return images;
    });
  });
  const Images found = unwrap(std::move(copied));
  nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(found.starts.size())));
  if (!out.is_valid()) throw nb::python_error();
  RowDictMaker make_dict;
  Py_ssize_t at = 0;
  for (const std::size_t start : found.starts) {
    const RowView row(found.bytes.data() + start);
    nb::object dict = projection ? make_dict(row_subset_by_field_defs(row.to_row(), *projection))
                                 : make_dict(row);
    PyList_SET_ITEM(out.ptr(), at++, dict.release().ptr());
  }
  return out;
}

// Collection methods.

constexpr Signature kCollectionWhere{"Collection.where", {"path", "value"}, 2, 2};
nb::object collection_where(nb::handle self, const BoundArgs& a) {
  const PyCollection& c = *nb::inst_ptr<PyCollection>(self);
  return new_query(with_filter(c.db, c.name, {}, std::nullopt, a[0], a[1]));
}

constexpr Signature kCollectionAll{"Collection.all", {"fields"}, 1, 0};
nb::object collection_all(nb::handle self, const BoundArgs& a) {
  const PyCollection& c = *nb::inst_ptr<PyCollection>(self);
  return all_impl(QueryBuilder{c.db, c.name, {}, std::nullopt}, a[0]);
}

// Query methods.

constexpr Signature kQueryLimit{"Query.limit", {"n"}, 1, 1};
nb::object query_limit(nb::handle self, const BoundArgs& a) {
  const QueryBuilder& q = *nb::inst_ptr<QueryBuilder>(self);
  const std::uint64_t n = u64_arg("n", a[0]);
  return new_query(
      QueryBuilder{q.db, q.collection_name, q.predicates, static_cast<std::size_t>(n)});
}

constexpr Signature kQueryAndWhere{"Query.and_where", {"path", "value"}, 2, 2};
nb::object query_and_where(nb::handle self, const BoundArgs& a) {
  const QueryBuilder& q = *nb::inst_ptr<QueryBuilder>(self);
  return new_query(with_filter(q.db, q.collection_name, q.predicates, q.limit, a[0], a[1]));
}

constexpr Signature kQueryExplain{"Query.explain", {}, 0, 0};
nb::object query_explain(nb::handle self, const BoundArgs&) {
  const QueryBuilder& q = *nb::inst_ptr<QueryBuilder>(self);
  Result<std::string> text = with_inner(database_from(q.db), [&](InnerDb& inner) {
    return [&]() -> Result<std::string> {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(q.collection_name));
      return explain_query(inner.catalog(), engine_query(q, id));
    }();
  });
  const std::string plan = unwrap(std::move(text));
  return nb::str(plan.data(), plan.size());
}

constexpr Signature kQueryAll{"Query.all", {"fields"}, 1, 0};
nb::object query_all(nb::handle self, const BoundArgs& a) {
  return all_impl(*nb::inst_ptr<QueryBuilder>(self), a[0]);
}

PyMethodDef kCollectionMethods[] = {
    method_def<kCollectionWhere, collection_where>("where", "where($self, path, value)\n--\n\n"),
    method_def<kCollectionAll, collection_all>("all", "all($self, fields=None)\n--\n\n"),
};

PyMethodDef kQueryMethods[] = {
    method_def<kQueryLimit, query_limit>("limit", "limit($self, n)\n--\n\n"),
    method_def<kQueryAndWhere, query_and_where>(
        "and_where",
        "and_where($self, path, value)\n--\n\n"
        "Add another equality predicate; combined with previous filters using logical AND."),
    method_def<kQueryExplain, query_explain>("explain", "explain($self)\n--\n\n"),
    method_def<kQueryAll, query_all>("all", "all($self, fields=None)\n--\n\n"),
};

}  // namespace

nb::object new_collection(nb::handle db, std::string name) {
  return new_instance<PyCollection>(nb::borrow(db), std::move(name));
}

void register_collection_class(nb::module_& module) {
  nb::class_<PyCollection> collection(module, "Collection", nb::is_final(),
                                      nb::type_slots(kNoConstructorSlots),
                                      "One collection of a database, read without SQL.");
  add_methods(collection, kCollectionMethods);
  finish_class(collection, "Collection");
  add_to_module(module, "Collection", collection);
}

void register_query_class(nb::module_& module) {
  nb::class_<QueryBuilder> query(module, "Query", nb::is_final(),
                                 nb::type_slots(kNoConstructorSlots),
                                 "Equality filters, a limit and a projection over one collection.");
  add_methods(query, kQueryMethods);
  finish_class(query, "Query");
  add_to_module(module, "Query", query);
}

}  // namespace quarn::py
