// Collection registration, schema versions and schema-change plans. A catalog entry reaches the
// log only once the catalog has accepted it, so replay can apply every logged entry again.
#include "db/registration.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "catalog/codec.h"
#include "db/database.h"
#include "db/registration_impl.h"
#include "store_instances.h"

namespace quarn {

Result<std::string> normalize_collection_name(std::string_view name) {
  const std::string_view trimmed = trim_white_space(name);
  if (trimmed.empty() || trimmed.size() > kCatalogMaxNameBytes) {
    return SchemaError::InvalidCollectionName{};
  }
  return std::string(trimmed);
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_REGISTRATION)

}  // namespace quarn
