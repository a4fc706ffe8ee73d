// The SELECT tokenizer and recursive-descent parser. Keywords are identifiers compared with
// ASCII case folding where the grammar expects them; nothing is reserved.
#include "sql.h"

#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <utf8proc.h>

namespace quarn {
namespace {

// One lexical unit of the statement text.
struct Token {
  struct Int {
    std::uint64_t value;
  };
  struct Star {};
  struct Comma {};
  struct Dot {};
  struct LParen {};
  struct RParen {};
  struct Question {};
  struct Eq {};
  struct Lt {};
  struct Lte {};
  struct Gt {};
  struct Gte {};
  struct Ident {
    std::string text;
  };
  std::variant<Int, Star, Comma, Dot, LParen, RParen, Question, Eq, Lt, Lte, Gt, Gte, Ident> value;

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }
  const std::string* ident() const {
    const Ident* id = std::get_if<Ident>(&value);
    return id == nullptr ? nullptr : &id->text;
  }
};

DbError syntax(std::string message) { return DbError::QuerySyntax{std::move(message)}; }

bool is_sql_white_space(std::int32_t cp) {
  switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_start(char c) { return is_ascii_letter(c) || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_ascii_digit(c); }

// The refused character in single quotes: the string debug form, except that a double quote
// stands bare and a single quote is escaped.
std::string debug_char(std::string_view encoded, std::int32_t cp) {
  if (cp == '"') return "'\"'";
  if (cp == '\'') return "'\\''";
  std::string quoted = debug_string(encoded);
  return "'" + quoted.substr(1, quoted.size() - 2) + "'";
}

Result<std::vector<Token>> tokenize(std::string_view sql) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (is_ascii_digit(c)) {
      constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
      std::uint64_t v = 0;
      bool overflow = false;
      for (; i < sql.size() && is_ascii_digit(sql[i]); ++i) {
        const auto d = static_cast<std::uint64_t>(sql[i] - '0');
        if (v > (kMax - d) / 10) overflow = true;
        v = v * 10 + d;
      }
      if (overflow) return syntax("invalid integer literal");
      tokens.push_back(Token{Token::Int{v}});
      continue;
    }
    if (is_ident_start(c)) {
      const std::size_t start = i;
      while (i < sql.size() && is_ident_char(sql[i])) ++i;
      tokens.push_back(Token{Token::Ident{std::string(sql.substr(start, i - start))}});
      continue;
    }
    const bool next_is_eq = i + 1 < sql.size() && sql[i + 1] == '=';
    switch (c) {
      case '(':
        tokens.push_back(Token{Token::LParen{}});
        ++i;
        continue;
      case ')':
        tokens.push_back(Token{Token::RParen{}});
        ++i;
        continue;
      case '*':
        tokens.push_back(Token{Token::Star{}});
        ++i;
        continue;
      case ',':
        tokens.push_back(Token{Token::Comma{}});
        ++i;
        continue;
      case '.':
        tokens.push_back(Token{Token::Dot{}});
        ++i;
        continue;
      case '?':
        tokens.push_back(Token{Token::Question{}});
        ++i;
        continue;
      case '=':
        tokens.push_back(Token{Token::Eq{}});
        ++i;
        continue;
      case '<':
        tokens.push_back(next_is_eq ? Token{Token::Lte{}} : Token{Token::Lt{}});
        i += next_is_eq ? 2 : 1;
        continue;
      case '>':
        tokens.push_back(next_is_eq ? Token{Token::Gte{}} : Token{Token::Gt{}});
        i += next_is_eq ? 2 : 1;
        continue;
      default:
        break;
    }
    utf8proc_int32_t cp = -1;
    const utf8proc_ssize_t n =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(sql.data() + i),
                         static_cast<utf8proc_ssize_t>(sql.size() - i), &cp);
    // A byte that starts no UTF-8 character is refused on its own; the debug form shows it
    // as \x with its value.
    const std::size_t width = n > 0 ? static_cast<std::size_t>(n) : 1;
    if (n > 0 && is_sql_white_space(cp)) {
      i += width;
      continue;
    }
    return syntax("unsupported character in SQL: " + debug_char(sql.substr(i, width), cp));
  }
  return tokens;
}

bool equals_keyword(const std::string& text, std::string_view keyword) {
  if (text.size() != keyword.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    char a = text[k];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != keyword[k]) return false;
  }
  return true;
}

// Reads one statement from the token list, left to right.
class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Result<SqlSelect> parse_statement();

 private:
  // The next token, or null at the end; take_token also moves past it.
  const Token* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  const Token* take_token() { return pos_ < tokens_.size() ? &tokens_[pos_++] : nullptr; }
  template <class T>
  bool next_is() const {
    return peek() != nullptr && peek()->is<T>();
  }
  // keyword is lower case.
  bool next_is_kw(std::string_view keyword) const {
    const std::string* id = peek() == nullptr ? nullptr : peek()->ident();
    return id != nullptr && equals_keyword(*id, keyword);
  }

  Status expect_ident_kw(std::string_view keyword);
  Result<std::string> take_ident();
  Result<FieldPath> take_path();
  Result<SqlPredicate> parse_or();
  Result<SqlPredicate> parse_and();
  Result<SqlPredicate> parse_primary();

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  std::size_t params_ = 0;
  // Open parentheses on the current descent.
  std::size_t depth_ = 0;
};

Status Parser::expect_ident_kw(std::string_view keyword) {
  if (!next_is_kw(keyword)) return syntax("expected keyword " + debug_string(keyword));
  ++pos_;
  return ok_status();
}

Result<std::string> Parser::take_ident() {
  const Token* token = take_token();
  if (token == nullptr || token->ident() == nullptr) return syntax("expected identifier");
  return *token->ident();
}

Result<FieldPath> Parser::take_path() {
  std::vector<std::string> segments;
  QUARN_ASSIGN_OR_RETURN(std::string first, take_ident());
  segments.push_back(std::move(first));
  while (next_is<Token::Dot>()) {
    ++pos_;
    QUARN_ASSIGN_OR_RETURN(std::string next, take_ident());
    segments.push_back(std::move(next));
  }
  return FieldPath::make(std::move(segments));
}

// Both levels loop over their operands, so a long chain of AND or OR costs no stack; only a
// parenthesis descends, and that is bounded by kMaxSqlNesting.
Result<SqlPredicate> Parser::parse_or() {
  QUARN_ASSIGN_OR_RETURN(SqlPredicate first, parse_and());
  if (!next_is_kw("or")) return first;
  std::vector<SqlPredicate> children;
  children.push_back(std::move(first));
  while (next_is_kw("or")) {
    ++pos_;
    QUARN_ASSIGN_OR_RETURN(SqlPredicate next, parse_and());
    children.push_back(std::move(next));
  }
  return SqlPredicate(SqlPredicate::Or{std::move(children)});
}

Result<SqlPredicate> Parser::parse_and() {
  QUARN_ASSIGN_OR_RETURN(SqlPredicate first, parse_primary());
  if (!next_is_kw("and")) return first;
  std::vector<SqlPredicate> children;
  children.push_back(std::move(first));
  while (next_is_kw("and")) {
    ++pos_;
    QUARN_ASSIGN_OR_RETURN(SqlPredicate next, parse_primary());
    children.push_back(std::move(next));
  }
  return SqlPredicate(SqlPredicate::And{std::move(children)});
}

Result<SqlPredicate> Parser::parse_primary() {
  const Token* next = peek();
  if (next == nullptr || (!next->is<Token::Ident>() && !next->is<Token::LParen>())) {
    return syntax("expected predicate");
  }
  if (next->is<Token::LParen>()) {
    if (depth_ == kMaxSqlNesting) {
      return syntax("too many nested parentheses (limit " + std::to_string(kMaxSqlNesting) + ")");
    }
    ++pos_;
    ++depth_;
    QUARN_ASSIGN_OR_RETURN(SqlPredicate inner, parse_or());
    --depth_;
    if (!next_is<Token::RParen>()) return syntax("expected ')'");
    ++pos_;
    return inner;
  }
  QUARN_ASSIGN_OR_RETURN(FieldPath path, take_path());
  const Token* op = take_token();
  if (op == nullptr) return syntax("expected comparison operator");
  const Token* param = take_token();
  if (param == nullptr || !param->is<Token::Question>()) return syntax("expected parameter '?'");
  SqlPredicate::Comparison cmp{std::move(path), SqlParam{params_++}};
  // The parameter is counted before the operator is judged, as the grammar reads them.
  if (op->is<Token::Eq>()) return SqlPredicate(SqlPredicate::Eq{std::move(cmp)});
  if (op->is<Token::Lt>()) return SqlPredicate(SqlPredicate::Lt{std::move(cmp)});
  if (op->is<Token::Lte>()) return SqlPredicate(SqlPredicate::Lte{std::move(cmp)});
  if (op->is<Token::Gt>()) return SqlPredicate(SqlPredicate::Gt{std::move(cmp)});
  if (op->is<Token::Gte>()) return SqlPredicate(SqlPredicate::Gte{std::move(cmp)});
  return syntax("expected one of '=', '<', '<=', '>', '>='");
}

Result<SqlSelect> Parser::parse_statement() {
  QUARN_TRY(expect_ident_kw("select"));
  std::optional<SqlColumns> columns;
  if (next_is<Token::Star>()) {
    ++pos_;
    columns = SqlColumns::All{};
  } else if (next_is<Token::Ident>()) {
    std::vector<FieldPath> paths;
    QUARN_ASSIGN_OR_RETURN(FieldPath first, take_path());
    paths.push_back(std::move(first));
    while (next_is<Token::Comma>()) {
      ++pos_;
      QUARN_ASSIGN_OR_RETURN(FieldPath next, take_path());
      paths.push_back(std::move(next));
    }
    columns = SqlColumns::Paths{std::move(paths)};
  } else {
    return syntax("expected '*' or column list after SELECT");
  }
  QUARN_TRY(expect_ident_kw("from"));
  QUARN_ASSIGN_OR_RETURN(std::string collection, take_ident());
  SqlSelect out{std::move(*columns), std::move(collection), std::nullopt,
                std::nullopt,        std::nullopt,          0};
  if (next_is_kw("where")) {
    ++pos_;
    QUARN_ASSIGN_OR_RETURN(SqlPredicate predicate, parse_or());
    out.predicate = std::move(predicate);
  }
  if (next_is_kw("order")) {
    ++pos_;
    QUARN_TRY(expect_ident_kw("by"));
    QUARN_ASSIGN_OR_RETURN(FieldPath path, take_path());
    OrderDirection direction = OrderDirection::Asc;
    if (next_is_kw("desc")) {
      ++pos_;
      direction = OrderDirection::Desc;
    } else if (next_is_kw("asc")) {
      ++pos_;
    }
    out.order_by = OrderBy{std::move(path), direction};
  }
  if (next_is_kw("limit")) {
    ++pos_;
    const Token* token = take_token();
    if (token != nullptr && token->is<Token::Int>()) {
      out.limit = std::get<Token::Int>(token->value).value;
    } else if (token != nullptr && token->is<Token::Ident>()) {
      return syntax("LIMIT must be an integer");
    } else {
      return syntax("expected integer after LIMIT");
    }
  }
  if (peek() != nullptr) return syntax("trailing tokens after SQL statement");
  out.param_count = params_;
  return out;
}

}  // namespace

Result<SqlSelect> parse_select(std::string_view sql) {
  QUARN_ASSIGN_OR_RETURN(std::vector<Token> tokens, tokenize(sql));
  return Parser(std::move(tokens)).parse_statement();
}

}  // namespace quarn
