// gMock matchers and assertions for Result<T> and Status.
#pragma once

#include <string>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "result.h"

namespace quarn::testing {

MATCHER(IsOk, "is OK") {
  if (arg.ok()) return true;
  *result_listener << "error: " << arg.error().render();
  return false;
}

MATCHER_P(IsOkAndHolds, inner, "is OK and holds a matching value") {
  if (!arg.ok()) {
    *result_listener << "error: " << arg.error().render();
    return false;
  }
  return ::testing::ExplainMatchResult(inner, arg.value(), result_listener);
}

// The full rendered text, category prefix included.
MATCHER_P(ErrorRenders, text, std::string("fails with \"") + std::string(text) + "\"") {
  if (arg.ok()) {
    *result_listener << "is OK";
    return false;
  }
  std::string got = arg.error().render();
  *result_listener << "renders \"" << got << "\"";
  return got == std::string(text);
}

MATCHER_P(ErrorCategoryIs, category, "fails in the given category") {
  if (arg.ok()) {
    *result_listener << "is OK";
    return false;
  }
  *result_listener << "renders \"" << arg.error().render() << "\"";
  return arg.error().category() == category;
}

}  // namespace quarn::testing

#define ASSERT_OK(expr) ASSERT_THAT((expr), ::quarn::testing::IsOk())
#define EXPECT_OK(expr) EXPECT_THAT((expr), ::quarn::testing::IsOk())

#define QUARN_TEST_AOA_(tmp, lhs, expr)       \
  auto tmp = (expr);                          \
  ASSERT_THAT(tmp, ::quarn::testing::IsOk()); \
  lhs = std::move(tmp).value()
#define ASSERT_OK_AND_ASSIGN(lhs, expr) QUARN_TEST_AOA_(QUARN_CONCAT_(quarn_t, __LINE__), lhs, expr)
