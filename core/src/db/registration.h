// Collection-name rules shared by registration and its callers.
#pragma once

#include <string>
#include <string_view>

#include "result.h"

namespace quarn {

// The name trimmed of Unicode White_Space at both ends. SchemaError::InvalidCollectionName when
// nothing remains or more than 1023 bytes do.
Result<std::string> normalize_collection_name(std::string_view name);

}  // namespace quarn
