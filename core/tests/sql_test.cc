// The SELECT parser: accepted statements by their parsed shape, every refusal by its message.
#include "sql.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace quarn {
namespace {

std::string path_text(const FieldPath& path) {
  std::string out;
  for (const std::string& segment : path.segments()) {
    if (!out.empty()) out += '.';
    out += segment;
  }
  return out;
}

// Eq(a#0), And([...]), Or([...]): compact enough to spell a whole tree in a table row.
std::string predicate_text(const SqlPredicate& p) {
  return std::visit(
      [](const auto& alt) -> std::string {
        using T = std::decay_t<decltype(alt)>;
        auto list = [](const char* name, const std::vector<SqlPredicate>& children) {
          std::string out = std::string(name) + "([";
          for (std::size_t i = 0; i < children.size(); ++i) {
            if (i > 0) out += ", ";
            out += predicate_text(children[i]);
          }
          return out + "])";
        };
        auto cmp = [](const char* name, const SqlPredicate::Comparison& c) {
          return std::string(name) + "(" + path_text(c.path) + "#" + std::to_string(c.value.index) +
                 ")";
        };
        if constexpr (std::is_same_v<T, SqlPredicate::And>) return list("And", alt.children);
        if constexpr (std::is_same_v<T, SqlPredicate::Or>) return list("Or", alt.children);
        if constexpr (std::is_same_v<T, SqlPredicate::Eq>) return cmp("Eq", alt);
        if constexpr (std::is_same_v<T, SqlPredicate::Lt>) return cmp("Lt", alt);
        if constexpr (std::is_same_v<T, SqlPredicate::Lte>) return cmp("Lte", alt);
        if constexpr (std::is_same_v<T, SqlPredicate::Gt>) return cmp("Gt", alt);
        if constexpr (std::is_same_v<T, SqlPredicate::Gte>) return cmp("Gte", alt);
      },
      p.value());
}

// Every field of the statement, absent clauses left out.
std::string select_text(const SqlSelect& s) {
  std::string out = "SELECT ";
  if (s.columns.get_if<SqlColumns::All>() != nullptr) {
    out += "*";
  } else {
    const auto& paths = s.columns.get_if<SqlColumns::Paths>()->paths;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (i > 0) out += ",";
      out += path_text(paths[i]);
    }
  }
  out += " FROM " + s.collection;
  if (s.predicate) out += " WHERE " + predicate_text(*s.predicate);
  if (s.order_by) {
    out += " ORDER " + path_text(s.order_by->path) +
           (s.order_by->direction == OrderDirection::Desc ? " Desc" : " Asc");
  }
  if (s.limit) out += " LIMIT " + std::to_string(*s.limit);
  out += " PARAMS " + std::to_string(s.param_count);
  return out;
}

struct ParseCase {
  const char* name;
  std::string sql;
  std::string parsed;
};

class SqlParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SqlParseTest, ParsesToShape) {
  ASSERT_OK_AND_ASSIGN(const SqlSelect s, parse_select(GetParam().sql));
  EXPECT_EQ(select_text(s), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, SqlParseTest,
    ::testing::Values(
        ParseCase{"StarUpper", "SELECT * FROM users", "SELECT * FROM users PARAMS 0"},
        ParseCase{"MixedCaseKeywordsKeepCollectionCase", "sElEcT * fRoM Users",
                  "SELECT * FROM Users PARAMS 0"},
        ParseCase{"KeywordsNotReserved", "SELECT from FROM where",
                  "SELECT from FROM where PARAMS 0"},
        ParseCase{"ColumnListKeepsDuplicatesAndCase", "select a, B.c,a from t",
                  "SELECT a,B.c,a FROM t PARAMS 0"},
        ParseCase{"OrOfAndBindsTighter", "SELECT * FROM t WHERE a = ? OR b > ? AND c <= ?",
                  "SELECT * FROM t WHERE Or([Eq(a#0), And([Gt(b#1), Lte(c#2)])]) PARAMS 3"},
        ParseCase{"AndChainIsOneFlatList", "SELECT * FROM t WHERE a<? and b>=? AND c=?",
                  "SELECT * FROM t WHERE And([Lt(a#0), Gte(b#1), Eq(c#2)]) PARAMS 3"},
        ParseCase{"OrChainIsOneFlatList", "SELECT * FROM t WHERE a=? or b=? OR c=?",
                  "SELECT * FROM t WHERE Or([Eq(a#0), Eq(b#1), Eq(c#2)]) PARAMS 3"},
        ParseCase{"ParenthesisedSingleUnwrapped", "SELECT * FROM t WHERE (a = ?)",
                  "SELECT * FROM t WHERE Eq(a#0) PARAMS 1"},
        ParseCase{"ParenthesisedGroupStaysElement",
                  "SELECT * FROM t WHERE (a = ? AND b = ?) AND c = ?",
                  "SELECT * FROM t WHERE And([And([Eq(a#0), Eq(b#1)]), Eq(c#2)]) PARAMS 3"},
        ParseCase{"ParenthesesOverrideAnd", "SELECT * FROM t WHERE a = ? AND (b = ? OR c = ?)",
                  "SELECT * FROM t WHERE And([Eq(a#0), Or([Eq(b#1), Eq(c#2)])]) PARAMS 3"},
        ParseCase{"ThreeSegmentPath", "SELECT * FROM t WHERE x.y.z >= ?",
                  "SELECT * FROM t WHERE Gte(x.y.z#0) PARAMS 1"},
        ParseCase{"OperatorsWithoutSpaces", "SELECT * FROM t WHERE a<=?AND b>?",
                  "SELECT * FROM t WHERE And([Lte(a#0), Gt(b#1)]) PARAMS 2"},
        ParseCase{"OrderDescLimit", "SELECT * FROM t ORDER BY a DESC LIMIT 10",
                  "SELECT * FROM t ORDER a Desc LIMIT 10 PARAMS 0"},
        ParseCase{"OrderAscExplicit", "SELECT * FROM t order by a.b asc",
                  "SELECT * FROM t ORDER a.b Asc PARAMS 0"},
        ParseCase{"OrderDefaultAsc", "SELECT * FROM t ORDER BY a",
                  "SELECT * FROM t ORDER a Asc PARAMS 0"},
        ParseCase{"AllClauses", "SELECT a FROM t WHERE a > ? ORDER BY a LIMIT 3",
                  "SELECT a FROM t WHERE Gt(a#0) ORDER a Asc LIMIT 3 PARAMS 1"},
        ParseCase{"LimitZero", "SELECT * FROM t LIMIT 0", "SELECT * FROM t LIMIT 0 PARAMS 0"},
        ParseCase{"LimitLeadingZeros", "SELECT * FROM t LIMIT 007",
                  "SELECT * FROM t LIMIT 7 PARAMS 0"},
        ParseCase{"LimitLargestU64", "SELECT * FROM t LIMIT 18446744073709551615",
                  "SELECT * FROM t LIMIT 18446744073709551615 PARAMS 0"},
        ParseCase{"UnderscoreIdentifiers", "SELECT _a1 FROM _t_2 WHERE _ = ?",
                  "SELECT _a1 FROM _t_2 WHERE Eq(_#0) PARAMS 1"},
        ParseCase{"NoBreakSpaceIsWhiteSpace", "SELECT\u00a0*\u00a0FROM\u00a0t",
                  "SELECT * FROM t PARAMS 0"},
        ParseCase{"UnicodeWhiteSpaceSet",
                  "\t\n\v\f\r SELECT\u0085*\u1680FROM\u2000\u200a\u2028\u2029\u202f\u205f"
                  "\u3000t ",
                  "SELECT * FROM t PARAMS 0"}),
    [](const ::testing::TestParamInfo<ParseCase>& param) { return param.param.name; });

struct RejectCase {
  const char* name;
  std::string sql;
  std::string error;
};

class SqlRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(SqlRejectTest, FailsWithMessage) {
  EXPECT_THAT(parse_select(GetParam().sql), testing::ErrorRenders(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SqlRejectTest,
    ::testing::Values(
        RejectCase{"Empty", "", "query error: expected keyword \"select\""},
        RejectCase{"OnlyWhiteSpace", " \u3000 ", "query error: expected keyword \"select\""},
        RejectCase{"NotSelect", "DELETE FROM t", "query error: expected keyword \"select\""},
        RejectCase{"NoColumns", "SELECT FROM", "query error: expected keyword \"from\""},
        RejectCase{"NumberAsColumns", "SELECT 1 FROM t",
                   "query error: expected '*' or column list after SELECT"},
        RejectCase{"EndAfterSelect", "SELECT",
                   "query error: expected '*' or column list after SELECT"},
        RejectCase{"StarThenColumn", "SELECT *, a FROM t",
                   "query error: expected keyword \"from\""},
        RejectCase{"TrailingCommaEatsFrom", "SELECT a, FROM t",
                   "query error: expected keyword \"from\""},
        RejectCase{"CommaAtEnd", "SELECT a,", "query error: expected identifier"},
        RejectCase{"DotWithoutSegment", "SELECT a. FROM t",
                   "query error: expected keyword \"from\""},
        RejectCase{"DotThenNumber", "SELECT a.1 FROM t", "query error: expected identifier"},
        RejectCase{"NoCollection", "SELECT * FROM", "query error: expected identifier"},
        RejectCase{"NumberCollection", "SELECT * FROM 5", "query error: expected identifier"},
        RejectCase{"WhereAtEnd", "SELECT * FROM t WHERE", "query error: expected predicate"},
        RejectCase{"WhereNumber", "SELECT * FROM t WHERE 1 = ?", "query error: expected predicate"},
        RejectCase{"AndAtEnd", "SELECT * FROM t WHERE a = ? AND",
                   "query error: expected predicate"},
        RejectCase{"PathAtEnd", "SELECT * FROM t WHERE a",
                   "query error: expected comparison operator"},
        RejectCase{"LiteralValue", "SELECT * FROM t WHERE a = 5",
                   "query error: expected parameter '?'"},
        RejectCase{"OperatorAtEnd",
                   "SELECT * FROM t WHERE a =", "query error: expected parameter '?'"},
        RejectCase{"ParameterCheckedBeforeOperator", "SELECT * FROM t WHERE a b c",
                   "query error: expected parameter '?'"},
        RejectCase{"SplitLessEqual", "SELECT * FROM t WHERE a < = ?",
                   "query error: expected parameter '?'"},
        RejectCase{"QuestionAsOperator", "SELECT * FROM t WHERE a ? ?",
                   "query error: expected one of '=', '<', '<=', '>', '>='"},
        RejectCase{"UnclosedParen", "SELECT * FROM t WHERE (a = ?", "query error: expected ')'"},
        RejectCase{"ParenThenJunk", "SELECT * FROM t WHERE (a = ? b", "query error: expected ')'"},
        RejectCase{"EmptyParens", "SELECT * FROM t WHERE ()", "query error: expected predicate"},
        RejectCase{"OrderWithoutBy", "SELECT * FROM t ORDER a",
                   "query error: expected keyword \"by\""},
        RejectCase{"OrderByNothing", "SELECT * FROM t ORDER BY",
                   "query error: expected identifier"},
        RejectCase{"TwoDirections", "SELECT * FROM t ORDER BY a ASC DESC",
                   "query error: trailing tokens after SQL statement"},
        RejectCase{"LimitBeforeOrder", "SELECT * FROM t LIMIT 5 ORDER BY a",
                   "query error: trailing tokens after SQL statement"},
        RejectCase{"WhereAfterLimit", "SELECT * FROM t LIMIT 5 WHERE a = ?",
                   "query error: trailing tokens after SQL statement"},
        RejectCase{"ExtraIdentifier", "SELECT * FROM t u",
                   "query error: trailing tokens after SQL statement"},
        RejectCase{"CloseParenAfterStatement", "SELECT * FROM t WHERE a = ?)",
                   "query error: trailing tokens after SQL statement"},
        RejectCase{"LimitIdentifier", "SELECT * FROM t LIMIT x",
                   "query error: LIMIT must be an integer"},
        RejectCase{"LimitParameter", "SELECT * FROM t LIMIT ?",
                   "query error: expected integer after LIMIT"},
        RejectCase{"LimitAtEnd", "SELECT * FROM t LIMIT",
                   "query error: expected integer after LIMIT"},
        RejectCase{"IntegerOverflow", "SELECT * FROM t LIMIT 18446744073709551616",
                   "query error: invalid integer literal"},
        RejectCase{"OverflowBeatsEarlierGrammarError", "DROP 99999999999999999999",
                   "query error: invalid integer literal"},
        RejectCase{"DigitsThenLetters", "SELECT * FROM t LIMIT 10abc",
                   "query error: trailing tokens after SQL statement"},
        RejectCase{"TrailingSemicolon", "SELECT * FROM t;",
                   "query error: unsupported character in SQL: ';'"},
        RejectCase{"CharacterBeatsEarlierGrammarError", "DROP t !",
                   "query error: unsupported character in SQL: '!'"},
        RejectCase{"NotEquals", "SELECT * FROM t WHERE a != ?",
                   "query error: unsupported character in SQL: '!'"},
        RejectCase{"Minus", "SELECT * FROM t LIMIT -1",
                   "query error: unsupported character in SQL: '-'"},
        RejectCase{"Bracket", "SELECT [a] FROM t",
                   "query error: unsupported character in SQL: '['"},
        RejectCase{"SingleQuoteEscaped", "SELECT * FROM t WHERE a = 'x'",
                   "query error: unsupported character in SQL: '\\''"},
        RejectCase{"DoubleQuoteBare", "SELECT \"a\" FROM t",
                   "query error: unsupported character in SQL: '\"'"},
        RejectCase{"Backslash", "SELECT \\ FROM t",
                   "query error: unsupported character in SQL: '\\\\'"},
        RejectCase{"Nul", std::string("SELECT \0 FROM t", 15),
                   "query error: unsupported character in SQL: '\\0'"},
        RejectCase{"NonAsciiLetterAsIs", "SELECT é FROM t",
                   "query error: unsupported character in SQL: 'é'"},
        RejectCase{"CombiningMarkEscaped", "SELECT \u0301 FROM t",
                   "query error: unsupported character in SQL: '\\u{301}'"},
        RejectCase{"ControlEscaped", "SELECT \x01 FROM t",
                   "query error: unsupported character in SQL: '\\u{1}'"},
        RejectCase{"ZeroWidthSpaceIsNotWhiteSpace", "SELECT\u200b* FROM t",
                   "query error: unsupported character in SQL: '\\u{200b}'"},
        RejectCase{"InvalidUtf8Byte", "SELECT \xff FROM t",
                   "query error: unsupported character in SQL: '\\xff'"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) { return param.param.name; });

TEST(SqlParseTest, ErrorsAreQuerySyntax) {
  EXPECT_THAT(parse_select("SELECT"), testing::ErrorCategoryIs(ErrorCategory::QuerySyntax));
  EXPECT_THAT(parse_select("SELECT ;"), testing::ErrorCategoryIs(ErrorCategory::QuerySyntax));
}

std::string nested(std::size_t depth) {
  return "SELECT * FROM t WHERE " + std::string(depth, '(') + "a = ?" + std::string(depth, ')');
}

TEST(SqlParseTest, NestingUpToLimitParses) {
  ASSERT_OK_AND_ASSIGN(const SqlSelect s, parse_select(nested(kMaxSqlNesting)));
  EXPECT_EQ(select_text(s), "SELECT * FROM t WHERE Eq(a#0) PARAMS 1");
}

TEST(SqlParseTest, NestingBeyondLimitFailsInsteadOfOverflowingStack) {
  const std::string error = "query error: too many nested parentheses (limit 256)";
  EXPECT_THAT(parse_select(nested(kMaxSqlNesting + 1)), testing::ErrorRenders(error));
  // Hostile input far past the limit, unbalanced too: still a clean error.
  EXPECT_THAT(parse_select("SELECT * FROM t WHERE " + std::string(100'000, '(')),
              testing::ErrorRenders(error));
}

TEST(SqlParseTest, LongOperandChainsStayFlat) {
  constexpr std::size_t kOperands = 50'000;
  for (const char* joiner : {" AND ", " OR "}) {
    std::string sql = "SELECT * FROM t WHERE a = ?";
    for (std::size_t i = 1; i < kOperands; ++i) sql += std::string(joiner) + "a = ?";
    ASSERT_OK_AND_ASSIGN(const SqlSelect s, parse_select(sql));
    EXPECT_EQ(s.param_count, kOperands);
    const auto& children = std::string(joiner) == " AND "
                               ? s.predicate->get_if<SqlPredicate::And>()->children
                               : s.predicate->get_if<SqlPredicate::Or>()->children;
    ASSERT_EQ(children.size(), kOperands);
    EXPECT_EQ(predicate_text(children.back()), "Eq(a#" + std::to_string(kOperands - 1) + ")");
  }
}

}  // namespace
}  // namespace quarn
