// The parts of row validation that validation.cc and its tests share: the constraint checks and
// the number text of their messages. Nothing else includes this.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "record/packed_row.h"
#include "record/row_value.h"
#include "result.h"
#include "schema.h"
#include "validation.h"

namespace quarn {

// Tests the constraints in order; the first that fails is returned with path.
Status apply_constraints(const std::vector<std::string>& path,
                         std::span<const Constraint> constraints, const RowValue& value);
Status apply_constraints(const std::vector<std::string>& path,
                         std::span<const Constraint> constraints, ValueView value);

// A double in plain decimal with the shortest round-trip digits and no exponent: 5, 1.5,
// 0.0000001, -0, inf, NaN.
std::string plain_decimal_f64(double value);

}  // namespace quarn
