#include "db/projection.h"

#include <utility>

namespace quarn {

const RowValue* row_value_at(const Row& row, const FieldPath& path) {
  const std::vector<std::string>& segments = path.segments();
  if (segments.empty()) return nullptr;
  auto it = row.find(segments.front());
  if (it == row.end()) return nullptr;
  const RowValue* value = &it->second;
  for (std::size_t i = 1; i < segments.size(); ++i) {
    const Row* object = value->as_object();
    if (object == nullptr) return nullptr;
    auto next = object->find(segments[i]);
    if (next == object->end()) return nullptr;
    value = &next->second;
  }
  return value;
}

std::optional<ScalarValue> scalar_at_path(const Row& row, const FieldPath& path) {
  const RowValue* value = row_value_at(row, path);
  if (value == nullptr) return std::nullopt;
  return value->as_scalar();
}

RowValue row_value_nested_object_path(const std::vector<std::string>& segments, std::size_t count,
                                      RowValue leaf) {
  QUARN_CHECK(count >= 1 && count <= segments.size(), "nested object path of a bad length");
  // Built from the innermost level outwards, so the leaf is moved and never copied.
  RowValue value = std::move(leaf);
  for (std::size_t i = count; i-- > 0;) {
    Row level;
    level.emplace(segments[i], std::move(value));
    value = RowValue::object(std::move(level));
  }
  return value;
}

void merge_row_value_trees(RowValue& target, RowValue source) {
  const Row* target_row = target.as_object();
  const Row* source_row = source.as_object();
  if (target_row == nullptr || source_row == nullptr) {
    target = std::move(source);
    return;
  }
  // Objects share their rows (copy-on-write): merge into a private copy of the target's.
  Row merged = *target_row;
  for (const auto& [name, value] : *source_row) {
    auto it = merged.find(name);
    if (it == merged.end()) {
      merged.emplace(name, value);
    } else {
      merge_row_value_trees(it->second, value);
    }
  }
  target = RowValue::object(std::move(merged));
}

Row row_subset_by_field_defs(const Row& row, const std::vector<FieldDef>& field_defs) {
  Row result;
  if (row.empty()) return result;
  for (const FieldDef& def : field_defs) {
    const std::vector<std::string>& segments = def.path.segments();
    const RowValue* found = row_value_at(row, def.path);
    if (found == nullptr) continue;
    if (segments.size() == 1) {
      result.insert_or_assign(segments.front(), *found);
      continue;
    }
    const std::vector<std::string> inner(segments.begin() + 1, segments.end());
    RowValue wrapped = row_value_nested_object_path(inner, inner.size(), *found);
    auto it = result.find(segments.front());
    if (it == result.end()) {
      result.emplace(segments.front(), std::move(wrapped));
    } else {
      merge_row_value_trees(it->second, std::move(wrapped));
    }
  }
  return result;
}

}  // namespace quarn
