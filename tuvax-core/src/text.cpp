#include "tuvax/text.hpp"

#include <bit>       // std::bit_cast
#include <charconv>  // std::to_chars, std::from_chars
#include <cmath>     // std::isnan, std::isinf
#include <format>
#include <limits>
#include <new>  // std::bad_alloc
#include <stdexcept>  // std::length_error
#include <string_view>
#include <system_error>  // std::errc
#include <vector>

#include "base64.hpp"
#include "text_parser.hpp"
#include "unicode_tables.hpp"
#include "tuvax/detail/utf8.hpp"

namespace tuvax {

namespace {

const std::uint8_t* bytes_of(std::string_view s) noexcept {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string utf8_of(char32_t c) {
  std::string s;
  append_utf8(s, c);
  return s;
}

// ---- Writer ----

// The most spaces one line may be indented by. Far beyond any readable
// layout, it keeps a huge `indent` from asking for absurd allocations (or
// wrapping around) and turns it into an error value instead.
constexpr std::uint64_t max_line_indentation = std::uint64_t{1} << 30;

// Arrays of at most this many scalars and strings are written on one line.
constexpr std::size_t max_inline_elements = 8;

bool is_inline_array(const Array& a) noexcept {
  if (a.size() > max_inline_elements) return false;
  for (const Value& e : a)
    if (static_cast<std::uint8_t>(e.kind()) > static_cast<std::uint8_t>(Kind::Str)) return false;
  return true;
}

// Values written in one piece, with no line break of their own.
bool is_leaf(const Value& v) noexcept {
  switch (v.kind()) {
    case Kind::Array: return v.as_array().empty() || is_inline_array(v.as_array());
    case Kind::Object: return v.as_object().empty();
    default: return true;
  }
}

// A key may go bare when it reads back as an identifier.
bool is_bare_key(std::string_view key) noexcept {
  if (key.empty()) return false;
  const std::uint8_t* s = bytes_of(key);
  std::size_t pos = 0;
  bool first = true;
  while (pos < key.size()) {
    std::size_t width;
    const char32_t c = detail::decode_utf8(s, key.size(), pos, width);
    if (c == detail::invalid_char) return false;
    if (first ? !detail::is_ident_start(c) : !detail::is_ident_continue(c)) return false;
    first = false;
    pos += width;
  }
  return true;
}

class Writer {
 public:
  Writer(std::string& out, std::uint64_t indent) noexcept : out_(out), indent_(indent) {}

  // Appends the text form of `v`, whose own line is indented `depth` levels.
  // Containers are walked with an explicit stack, so no tree is too deep.
  [[nodiscard]] Result<void> write_value(const Value& v, std::uint64_t depth);

  // The output size the last append was reaching for.
  std::uint64_t wanted() const noexcept { return wanted_; }

 private:
  struct Frame {
    const Value* container;
    std::size_t next;     // index of the next element or entry to write
    std::uint64_t depth;  // level of the line holding the opening bracket
  };

  void put(std::string_view s) {
    wanted_ = std::uint64_t{out_.size()} + s.size();
    out_.append(s);
  }
  void put(char c) {
    wanted_ = std::uint64_t{out_.size()} + 1;
    out_.push_back(c);
  }

  [[nodiscard]] Result<void> put_indentation(std::uint64_t depth);
  void write_leaf(const Value& v);
  void write_float(double d);
  void write_quoted(std::string_view s);
  void write_key(std::string_view key);
  // After an element or entry of `f` (whose `next` already counts it).
  void end_entry(const Frame& f);

  std::string& out_;
  const std::uint64_t indent_;
  std::uint64_t wanted_ = 0;
};

Result<void> Writer::put_indentation(std::uint64_t depth) {
  if (depth != 0 && indent_ > std::numeric_limits<std::uint64_t>::max() / depth)
    return std::unexpected(TuvaxError::memory_limit_exceeded(
        std::numeric_limits<std::uint64_t>::max(), max_line_indentation));
  const std::uint64_t spaces = indent_ * depth;
  if (spaces > max_line_indentation)
    return std::unexpected(TuvaxError::memory_limit_exceeded(spaces, max_line_indentation));
  wanted_ = std::uint64_t{out_.size()} + spaces;
  out_.append(static_cast<std::size_t>(spaces), ' ');
  return {};
}

void Writer::write_float(double d) {
  if (std::isnan(d)) return put("NaN");
  if (std::isinf(d)) return put(d < 0 ? "-inf" : "inf");
  // Scientific form gives the shortest round-trip digits; fixed form would
  // give the exact decimal value of large doubles (1e23 as
  // 99999999999999991611392), so the digits are laid out here instead.
  char sci[40];
  const auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  std::string_view s(sci, static_cast<std::size_t>(r.ptr - sci));
  const bool negative = s.front() == '-';
  if (negative) s.remove_prefix(1);
  const std::size_t e = s.find('e');
  char digits[20];
  std::size_t n = 0;
  for (char c : s.substr(0, e))
    if (c != '.') digits[n++] = c;
  std::string_view exp_text = s.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);

  // `point` digits stand before the decimal point.
  const long point = static_cast<long>(exp) + 1;
  std::string text;
  text.reserve(16 + static_cast<std::size_t>(point < 0 ? -point : point) + n);
  if (negative) text.push_back('-');
  if (point <= 0) {
    text.append("0.");
    text.append(static_cast<std::size_t>(-point), '0');
    text.append(digits, n);
  } else if (static_cast<std::size_t>(point) >= n) {
    text.append(digits, n);
    text.append(static_cast<std::size_t>(point) - n, '0');
    text.append(".0");  // an integral value still reads back as a float
  } else {
    text.append(digits, static_cast<std::size_t>(point));
    text.push_back('.');
    text.append(digits + point, n - static_cast<std::size_t>(point));
  }
  put(text);
}

void Writer::write_quoted(std::string_view s) {
  put('"');
  std::size_t run = 0;  // start of the bytes not yet written
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char* esc;
    switch (s[i]) {
      case '\t': esc = "\\t"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      default: continue;
    }
    put(s.substr(run, i - run));
    put(esc);
    run = i + 1;
  }
  put(s.substr(run));
  put('"');
}

void Writer::write_key(std::string_view key) {
  if (is_bare_key(key))
    put(key);
  else
    write_quoted(key);
}

void Writer::write_leaf(const Value& v) {
  char buf[24];
  switch (v.kind()) {
    case Kind::Null: return put("null");
    case Kind::Bool: return put(v.as_bool() ? "true" : "false");
    case Kind::UInt: {
      const auto r = std::to_chars(buf, buf + sizeof buf, v.as_uint());
      return put(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    }
    case Kind::Int: {
      // Zero is written "-0" so that it reads back as a signed integer.
      if (v.as_int() == 0) return put("-0");
      const auto r = std::to_chars(buf, buf + sizeof buf, v.as_int());
      return put(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    }
    case Kind::Float: return write_float(v.as_float());
    case Kind::Str: return write_quoted(v.as_str());
    case Kind::Bytes: {
      put("b64#");
      wanted_ = std::uint64_t{out_.size()} + detail::base64_encoded_size(v.as_bytes().size());
      detail::base64_encode(v.as_bytes(), out_);
      return;
    }
    case Kind::Array: {
      const Array& a = v.as_array();
      put('[');
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i != 0) put(", ");
        write_leaf(a[i]);  // a scalar or string: one level only
      }
      return put(']');
    }
    case Kind::Object: return put("{}");  // only empty objects are leaves
  }
}

void Writer::end_entry(const Frame& f) {
  if (f.container->is(Kind::Object)) return put(";\n");
  if (f.next < f.container->as_array().size()) put(',');
  put('\n');
}

Result<void> Writer::write_value(const Value& root, std::uint64_t depth) {
  if (is_leaf(root)) {
    write_leaf(root);
    return {};
  }
  std::vector<Frame> stack;
  put(root.is(Kind::Array) ? "[\n" : "{\n");
  stack.push_back({&root, 0, depth});
  while (!stack.empty()) {
    Frame& f = stack.back();
    const bool is_array = f.container->is(Kind::Array);
    const std::size_t count =
        is_array ? f.container->as_array().size() : f.container->as_object().size();
    if (f.next == count) {
      TUVAX_TRY_VOID(put_indentation(f.depth));
      put(is_array ? ']' : '}');
      stack.pop_back();
      if (!stack.empty()) end_entry(stack.back());
      continue;
    }
    const std::size_t i = f.next++;
    const std::uint64_t child_depth = f.depth + 1;
    TUVAX_TRY_VOID(put_indentation(child_depth));
    const Value* child;
    if (is_array) {
      child = &f.container->as_array()[i];
    } else {
      const Member& m = f.container->as_object()[i];
      write_key(m.key);
      put(": ");
      child = &m.value;
    }
    if (is_leaf(*child)) {
      write_leaf(*child);
      end_entry(f);
    } else {
      put(child->is(Kind::Array) ? "[\n" : "{\n");
      stack.push_back({child, 0, child_depth});  // `f` is not used after this
    }
  }
  return {};
}

// ---- Number conversion ----

bool is_digit(std::uint8_t b) noexcept { return b >= '0' && b <= '9'; }

// Checks `token` against the float grammar: an optional sign, digits with an
// optional point (at least one digit on either side), and an optional
// exponent of 'e' or 'E', an optional sign and at least one digit. Sets
// `magnitude` to the decimal exponent of the first nonzero digit (saturated;
// 0 for a zero), which tells an overflow from an underflow.
bool check_float_token(std::string_view token, long long& magnitude) noexcept {
  const std::uint8_t* s = bytes_of(token);
  const std::size_t len = token.size();
  std::size_t i = 0;
  if (i < len && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t int_digits = 0;
  std::size_t frac_digits = 0;
  long long lead = 0;
  bool nonzero = false;
  for (; i < len && is_digit(s[i]); ++i, ++int_digits) {
    if (!nonzero && s[i] != '0') nonzero = true;
    if (nonzero) ++lead;  // digits from the first nonzero one to the point
  }
  if (i < len && s[i] == '.') {
    ++i;
    for (; i < len && is_digit(s[i]); ++i, ++frac_digits) {
      if (!nonzero && s[i] != '0') {
        nonzero = true;
        lead = -static_cast<long long>(frac_digits);
      }
    }
  }
  if (int_digits + frac_digits == 0) return false;
  long long exp = 0;
  if (i < len && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool neg = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    const std::size_t first = i;
    for (; i < len && is_digit(s[i]); ++i)
      if (exp < 1'000'000'000) exp = exp * 10 + (s[i] - '0');
    if (i == first) return false;
    if (neg) exp = -exp;
  }
  if (i != len) return false;
  // Digits before the point count from 1; the n-th digit after it is -n+1
  // here, so one less gives the exponent of that digit.
  if (lead > 1'000'000'000) lead = 1'000'000'000;
  magnitude = nonzero ? lead - 1 + exp : 0;
  return true;
}

// Converts a token already known to be a float: correctly rounded, with
// out-of-range magnitudes going to infinity or zero.
double to_double(std::string_view token, long long magnitude) noexcept {
  const bool negative = token.front() == '-';
  if (token.front() == '+') token.remove_prefix(1);  // from_chars takes no '+'
  double d = 0;
  const auto r = std::from_chars(token.data(), token.data() + token.size(), d,
                                 std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    d = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) d = -d;
  }
  return d;
}

}  // namespace

// ---- Parser ----

namespace detail {

TuvaxError Parser::error(std::string message) const {
  return TuvaxError::text_parse(line_, col_, std::move(message));
}

TuvaxError Parser::unexpected_here() const {
  std::size_t width;
  detail::decode_utf8(bytes_of(input_), input_.size(), pos_, width);
  return error(std::format("unexpected character: '{}'", input_.substr(pos_, width)));
}

char32_t Parser::peek() const noexcept {
  if (pos_ >= input_.size()) return end_of_input;
  const std::uint8_t* s = bytes_of(input_);
  if (s[pos_] < 0x80) return s[pos_];
  std::size_t width;
  return detail::decode_utf8(s, input_.size(), pos_, width);
}

char32_t Parser::advance() noexcept {
  if (pos_ >= input_.size()) return end_of_input;
  const std::uint8_t* s = bytes_of(input_);
  const std::uint8_t b = s[pos_];
  if (b < 0x80) {
    ++pos_;
    if (b == '\n') {
      ++line_;
      col_ = 1;
    } else {
      ++col_;
    }
    return b;
  }
  std::size_t width;  // 1 for a malformed byte
  const char32_t c = detail::decode_utf8(s, input_.size(), pos_, width);
  pos_ += width;
  ++col_;
  return c;
}

void Parser::skip_whitespace_and_comments() noexcept {
  const std::uint8_t* s = bytes_of(input_);
  const std::size_t len = input_.size();
  for (;;) {
    while (pos_ < len) {
      const std::uint8_t b = s[pos_];
      if (b == ' ' || b == '\t' || b == '\r') {
        ++pos_, ++col_;
      } else if (b == '\n') {
        ++pos_, ++line_, col_ = 1;
      } else if (is_white_space(peek())) {
        advance();
      } else {
        break;
      }
    }
    if (starts_with("//")) {
      skip_ascii(2);
      for (;;) {
        const char32_t c = peek();
        if (c == end_of_input) break;
        if (c == invalid_char) return;  // left for the caller to report
        advance();
        if (c == '\n') break;
      }
    } else if (starts_with("/*")) {
      skip_ascii(2);
      std::uint64_t nesting = 1;
      while (nesting > 0) {
        const char32_t c = peek();
        if (c == end_of_input) break;  // an unclosed comment ends with the input
        if (c == invalid_char) return;
        advance();
        if (c == '*' && peek() == '/') {
          skip_ascii(1);
          --nesting;
        } else if (c == '/' && peek() == '*') {
          skip_ascii(1);
          ++nesting;
        }
      }
    } else {
      return;
    }
  }
}

Result<void> Parser::expect(char32_t c) {
  skip_whitespace_and_comments();
  const char32_t x = peek();
  if (x == end_of_input) return std::unexpected(error(std::format("expected '{}', got EOF", utf8_of(c))));
  if (x == invalid_char) return std::unexpected(error("invalid UTF-8"));
  advance();
  if (x != c)
    return std::unexpected(error(std::format("expected '{}', got '{}'", utf8_of(c), utf8_of(x))));
  return {};
}

Result<std::string> Parser::parse_quoted_string() {
  TUVAX_TRY_VOID(expect('"'));
  const std::uint8_t* s = bytes_of(input_);
  const std::size_t len = input_.size();
  std::string out;
  for (;;) {
    // Copy the run of plain ASCII in one piece.
    const std::size_t start = pos_;
    while (pos_ < len) {
      const std::uint8_t b = s[pos_];
      if (b == '"' || b == '\\' || b == '\n' || b >= 0x80) break;
      ++pos_;
    }
    col_ += pos_ - start;
    out.append(input_.substr(start, pos_ - start));
    if (pos_ >= len) return std::unexpected(error("unterminated string"));

    const std::size_t at = pos_;
    const char32_t c = peek();
    if (c == invalid_char) return std::unexpected(error("invalid UTF-8"));
    advance();
    if (c == '"') return out;
    if (c != '\\') {
      out.append(input_.substr(at, pos_ - at));  // LF or a non-ASCII character
      continue;
    }
    const std::size_t esc_at = pos_;
    const char32_t e = peek();
    if (e == end_of_input) return std::unexpected(error("unterminated string escape"));
    if (e == invalid_char) return std::unexpected(error("invalid UTF-8"));
    advance();
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      default:
        // Any other pair stays as written: "\u0041" is six characters.
        out.push_back('\\');
        out.append(input_.substr(esc_at, pos_ - esc_at));
    }
  }
}

void Parser::skip_type_annotation() noexcept {
  if (!starts_with("::")) return;
  skip_ascii(2);
  while (is_ident_continue(peek())) advance();
}

Value Parser::literal(std::size_t len, Value v) noexcept {
  skip_ascii(len);
  skip_type_annotation();
  return v;
}

Result<Value> Parser::parse_value() {
  // Kept small: this and the container readers are the frames that repeat
  // once per nesting level.
  skip_whitespace_and_comments();
  const char32_t c = peek();
  if (c == '[') return parse_array();
  if (c == '{') return parse_object();
  return parse_scalar(c);
}

Result<Value> Parser::parse_scalar(char32_t c) {
  switch (c) {
    case end_of_input: return std::unexpected(error("unexpected end of input"));
    case invalid_char: return std::unexpected(error("invalid UTF-8"));
    case '"': {
      TUVAX_TRY(std::string s, parse_quoted_string());
      skip_type_annotation();
      return Value::str(std::move(s));
    }
    case '-':
      if (starts_with("-inf")) return literal(4, Value::real(-std::numeric_limits<double>::infinity()));
      return parse_number();
    case '+': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return parse_number();
    case 'b':
      if (starts_with("b64#")) return parse_bytes();
      break;
    case 'n':
      if (starts_with("null")) return literal(4, Value::null());
      break;
    case 't':
      if (starts_with("true")) return literal(4, Value::boolean(true));
      break;
    case 'f':
      if (starts_with("false")) return literal(5, Value::boolean(false));
      break;
    case 'i':
      if (starts_with("inf")) return literal(3, Value::real(std::numeric_limits<double>::infinity()));
      break;
    case 'N':
      if (starts_with("NaN"))
        return literal(3, Value::real(std::bit_cast<double>(std::uint64_t{0x7FF8000000000000})));
      break;
    default: break;
  }
  return std::unexpected(unexpected_here());
}

Result<Value> Parser::parse_number() {
  const std::uint8_t* s = bytes_of(input_);
  const std::size_t len = input_.size();
  const std::size_t start = pos_;
  bool is_float = false;
  if (s[pos_] == '-' || s[pos_] == '+') ++pos_;
  while (pos_ < len) {
    const std::uint8_t b = s[pos_];
    if (is_digit(b)) {
      ++pos_;
    } else if (b == '.') {
      ++pos_;
      is_float = true;
    } else if (b == 'e' || b == 'E') {
      ++pos_;
      is_float = true;
      if (pos_ < len && (s[pos_] == '+' || s[pos_] == '-')) ++pos_;
    } else {
      break;
    }
  }
  col_ += pos_ - start;
  const std::string_view token = input_.substr(start, pos_ - start);
  skip_type_annotation();

  if (is_float) {
    long long magnitude = 0;
    if (!check_float_token(token, magnitude))
      return std::unexpected(error(std::format("invalid float: {}", token)));
    return Value::real(to_double(token, magnitude));
  }
  const bool negative = token.front() == '-';
  std::string_view digits = token;
  if (digits.front() == '-' || digits.front() == '+') digits.remove_prefix(1);
  // Signed values accumulate their magnitude, up to 2^63.
  const std::uint64_t max = negative ? std::uint64_t{1} << 63 : std::numeric_limits<std::uint64_t>::max();
  std::uint64_t v = 0;
  bool ok = !digits.empty();
  for (const char ch : digits) {
    const std::uint64_t d = static_cast<std::uint64_t>(ch - '0');
    if (v > (max - d) / 10) {
      ok = false;
      break;
    }
    v = v * 10 + d;
  }
  if (!ok) return std::unexpected(error(std::format("invalid integer: {}", token)));
  if (negative) return Value::integer(static_cast<std::int64_t>(0 - v));
  return Value::uint(v);
}

Result<Value> Parser::parse_bytes() {
  skip_ascii(4);  // "b64#"
  const std::uint8_t* s = bytes_of(input_);
  const std::size_t len = input_.size();
  // The payload runs to the first character that cannot occur in base64 and
  // ends an enclosing construct: ';' after a member, ',' or ']' in an array,
  // '}' for a member written without its ';'. Surrounding whitespace is
  // trimmed; a malformed byte counts as payload and fails in the decoder.
  std::size_t first = std::string_view::npos;  // the trimmed payload's bounds
  std::size_t last = pos_;
  for (;;) {
    if (pos_ >= len) break;
    const std::uint8_t b = s[pos_];
    if (b == ';' || b == ',' || b == ']' || b == '}') break;
    const std::size_t at = pos_;
    bool space;
    if (b < 0x80) {
      space = b == ' ' || (b >= 0x09 && b <= 0x0D);
      advance();
    } else {
      space = is_white_space(advance());
    }
    if (!space) {
      if (first == std::string_view::npos) first = at;
      last = pos_;
    }
  }
  const std::string_view payload =
      first == std::string_view::npos ? std::string_view() : input_.substr(first, last - first);
  auto bytes = detail::base64_decode(payload);
  if (!bytes) return std::unexpected(error("invalid base64: " + bytes.error()));
  return Value::bytes(std::move(*bytes));
}

Result<Value> Parser::parse_array() {
  if (depth_ == text_max_depth)
    return std::unexpected(error(std::format("nesting depth exceeds maximum {}", text_max_depth)));
  skip_ascii(1);  // '['
  ++depth_;
  Array items;
  for (;;) {
    skip_whitespace_and_comments();
    if (peek() == ']') break;
    TUVAX_TRY(Value v, parse_value());
    items.push_back(std::move(v));
    skip_whitespace_and_comments();
    if (peek() == ',') skip_ascii(1);
  }
  skip_ascii(1);  // ']'
  --depth_;
  return Value::array(std::move(items));
}

Result<std::string> Parser::parse_key() {
  skip_whitespace_and_comments();
  const char32_t c = peek();
  if (c == '"') return parse_quoted_string();
  if (c == invalid_char) return std::unexpected(error("invalid UTF-8"));
  if (c == end_of_input || !is_ident_start(c)) return std::unexpected(error("expected identifier"));
  const std::size_t start = pos_;
  advance();
  const std::uint8_t* s = bytes_of(input_);
  for (;;) {
    if (pos_ < input_.size() && s[pos_] < 0x80) {
      const std::uint8_t b = s[pos_];
      const bool letter = static_cast<unsigned>((b | 0x20) - 'a') <= 'z' - 'a';
      if (b != '_' && !is_digit(b) && !letter) break;
      skip_ascii(1);
    } else if (is_ident_continue(peek())) {
      advance();
    } else {
      break;
    }
  }
  return std::string(input_.substr(start, pos_ - start));
}

Result<Value> Parser::parse_object() {
  if (depth_ == text_max_depth)
    return std::unexpected(error(std::format("nesting depth exceeds maximum {}", text_max_depth)));
  skip_ascii(1);  // '{'
  ++depth_;
  Object members;
  for (;;) {
    skip_whitespace_and_comments();
    if (peek() == '}') break;
    TUVAX_TRY(std::string key, parse_key());
    TUVAX_TRY_VOID(expect(':'));
    TUVAX_TRY(Value v, parse_value());
    TUVAX_TRY_VOID(expect(';'));
    // Keys are not compared: duplicates stay, in order.
    members.push_back(Member{std::move(key), std::move(v)});
  }
  skip_ascii(1);  // '}'
  --depth_;
  return Value::object(std::move(members));
}

Result<Value> Parser::parse_document() {
  TUVAX_TRY(Value v, parse_value());
  skip_whitespace_and_comments();
  const char32_t c = peek();
  if (c == end_of_input) return v;
  if (c == invalid_char) return std::unexpected(error("invalid UTF-8"));
  return std::unexpected(unexpected_here());
}

}  // namespace detail

// ---- Entry points ----

Result<std::string> pretty_print(const Value& value, std::uint64_t indent) {
  std::string out;
  Writer writer(out, indent);
  try {
    TUVAX_TRY_VOID(writer.write_value(value, 0));
  } catch (const std::bad_alloc&) {
    return std::unexpected(TuvaxError::memory_limit_exceeded(writer.wanted(), out.max_size()));
  } catch (const std::length_error&) {
    return std::unexpected(TuvaxError::memory_limit_exceeded(writer.wanted(), out.max_size()));
  }
  return out;
}

Result<Value> parse(std::string_view text) {
  detail::Parser parser(text);
  return parser.parse_document();
}

}  // namespace tuvax
