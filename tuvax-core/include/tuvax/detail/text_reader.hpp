#ifndef TUVAX_DETAIL_TEXT_READER_HPP
#define TUVAX_DETAIL_TEXT_READER_HPP

// The text notation reader: one forward walk over the text that hands every
// value to a ValueBuilder. tuvax::parse_into (text.hpp) is its entry. The
// common bytes (ASCII whitespace, identifiers, strings without escapes,
// integers) are handled here, inline; the rare ones (comments, non-ASCII
// whitespace and identifier characters, byte strings, float conversion) and
// every error live out of line in text.cpp.
//
// The reader keeps no line or column: an error carries the byte offset, and
// the line and column are counted from the text only when an error is made.

#include <array>
#include <bit>       // std::countr_zero, std::endian
#include <charconv>  // std::from_chars
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcmp
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>  // std::errc
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tuvax/builder.hpp"
#include "tuvax/detail/utf8.hpp"
#include "tuvax/error.hpp"
#include "tuvax/limits.hpp"

namespace tuvax::detail {

// Arrays and objects nested inside one another, at most: the binary
// format's max_depth, for reading and for writing.
inline constexpr std::uint64_t text_max_depth = Limits{}.max_depth;

// The one NaN the text's "NaN" reads as: quiet, positive, no payload.
inline constexpr std::uint64_t canonical_nan_bits = 0x7FF8000000000000;

// ---- Out of line (text.cpp) ----

struct TextPosition {
  std::uint64_t line;  // 1 plus the LFs before the byte
  std::uint64_t col;   // 1 plus the characters since the last LF
};

// Where byte `pos` of `text` stands. Columns count characters; a byte that
// does not start a well-formed UTF-8 sequence counts as one character.
TextPosition text_position(std::string_view text, std::size_t pos) noexcept;

// A TextParse error at byte `pos`.
TuvaxError text_error_at(std::string_view text, std::size_t pos, std::string message);

// At byte `pos`, where no value may start: "unexpected end of input",
// "invalid UTF-8" or "unexpected character: '{c}'".
TuvaxError text_unexpected_at(std::string_view text, std::size_t pos);

// expect(c) failed at byte `pos` (whitespace already skipped): "expected
// '{c}', got EOF", "invalid UTF-8" (at pos), or "expected '{c}', got '{x}'"
// (just after x).
TuvaxError text_expected_at(std::string_view text, std::size_t pos, char c);

// "invalid UTF-8" at the first malformed sequence of text[from, to).
TuvaxError text_invalid_utf8_in(std::string_view text, std::size_t from, std::size_t to);

// Skips whitespace (the Unicode White_Space property), "//" line comments
// and nesting "/* */" block comments from `pos`; returns the offset of the
// first byte that is none of these. An unclosed block comment runs to the
// end; a malformed byte stops the skip in front of it. Each comment skipped
// (a block comment with those nested in it being one) adds one to
// `*comments`, when given.
std::size_t skip_space_and_comments(std::string_view text, std::size_t pos,
                                    std::uint64_t* comments = nullptr) noexcept;

// Skips identifier characters (alphabetic, numeric or '_', any script) from
// `pos`; stops in front of anything else, a malformed byte included.
std::size_t skip_identifier(std::string_view text, std::size_t pos) noexcept;

// True when `c` may start a bare key (alphabetic or '_').
bool is_identifier_start(char32_t c) noexcept;

// Reads the payload of a byte string starting at `pos` (just after "b64#")
// into `out`; moves `pos` past it. Error: "invalid base64: ..." after it.
[[nodiscard]] Result<void> read_base64(std::string_view text, std::size_t& pos, std::vector<std::uint8_t>& out);

// Converts a number token that has a '.', 'e' or 'E', correctly rounded.
// Error: "invalid float: {token}" at `error_pos`.
[[nodiscard]] Result<double> read_float(std::string_view text, std::string_view token, std::size_t error_pos);

// ---- Character classes of ASCII bytes ----

inline constexpr std::uint8_t ascii_ident_start = 1;
inline constexpr std::uint8_t ascii_ident_continue = 2;

inline constexpr std::array<std::uint8_t, 256> ascii_classes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = t[c - 'a' + 'A'] = ascii_ident_start | ascii_ident_continue;
  for (int c = '0'; c <= '9'; ++c) t[c] = ascii_ident_continue;
  t['_'] = ascii_ident_start | ascii_ident_continue;
  return t;
}();

// What a byte means to the whitespace skip: no whitespace (0), a space,
// another ASCII whitespace byte the fast path takes, or the start of
// something the full skip must look at (VT, FF, '/', any non-ASCII byte).
inline constexpr std::uint8_t space_run = 1;
inline constexpr std::uint8_t space_one = 2;
inline constexpr std::uint8_t space_other = 3;

inline constexpr std::array<std::uint8_t, 256> ascii_space = [] {
  std::array<std::uint8_t, 256> t{};
  t[' '] = space_run;
  t['\n'] = t['\t'] = t['\r'] = space_one;
  t[0x0B] = t[0x0C] = t['/'] = space_other;
  for (int c = 0x80; c < 0x100; ++c) t[c] = space_other;
  return t;
}();

inline constexpr std::uint64_t repeat_byte(std::uint8_t b) noexcept { return 0x0101010101010101ULL * b; }

// The high bit of each byte of `w` that equals `b`; the lowest set bit marks
// the first such byte (little-endian load).
inline constexpr std::uint64_t bytes_equal(std::uint64_t w, std::uint8_t b) noexcept {
  const std::uint64_t x = w ^ repeat_byte(b);
  return (x - repeat_byte(1)) & ~x & high_bits;
}

inline constexpr bool word_scan = std::endian::native == std::endian::little;

// ---- The reader ----

template <ValueBuilder B>
class TextReader {
 public:
  TextReader(std::string_view text, B& builder) noexcept
      : text_(text), s_(reinterpret_cast<const std::uint8_t*>(text.data())), n_(text.size()), b_(builder) {}

  // One value and nothing but whitespace and comments after it. true: the
  // builder holds the value; false: the builder stopped.
  [[nodiscard]] Result<bool> run();

  // The comments skipped so far.
  std::uint64_t comments() const noexcept { return comments_; }

 private:
  // Each step returns false to stop: with error_ set for bad text, without
  // for a builder that gave up.
  bool fail(TuvaxError e) {
    error_.emplace(std::move(e));
    return false;
  }
  bool fail_at(std::size_t pos, std::string message) { return fail(text_error_at(text_, pos, std::move(message))); }

  std::uint8_t at(std::size_t i) const noexcept { return i < n_ ? s_[i] : 0; }
  bool starts_with(std::string_view lit) const noexcept {
    return n_ - pos_ >= lit.size() && std::memcmp(s_ + pos_, lit.data(), lit.size()) == 0;
  }

  // Most places have no space to skip: that is settled inline, and only
  // space goes to skip_more_space().
  [[gnu::always_inline]] void skip_space() noexcept {
    if (pos_ < n_ && ascii_space[s_[pos_]] != 0) skip_more_space();
  }
  [[gnu::noinline]] void skip_more_space() noexcept;
  std::size_t skip_ident_chars(std::size_t i, bool& ascii) const noexcept;
  void skip_type_annotation() noexcept {
    if (at(pos_) == ':' && at(pos_ + 1) == ':') {
      bool ascii = true;
      pos_ = skip_ident_chars(pos_ + 2, ascii);
    }
  }
  bool expect(char c) {
    skip_space();
    if (pos_ < n_ && s_[pos_] == static_cast<std::uint8_t>(c)) {
      ++pos_;
      return true;
    }
    return fail(text_expected_at(text_, pos_, c));
  }

  bool scalar();
  bool literal(std::size_t len) {
    pos_ += len;
    skip_type_annotation();
    return true;
  }
  bool number();
  // The rest of a number at `start` whose digits (if any) are followed by a
  // point or an exponent. Out of line: integers are the more common.
  [[gnu::noinline]] bool real_number(std::size_t start);
  bool quoted(std::string_view& out, bool& ascii);
  bool key();

  std::string_view text_;
  const std::uint8_t* s_;
  std::size_t n_;
  std::size_t pos_ = 0;
  B& b_;
  std::optional<TuvaxError> error_;
  std::string unescaped_;            // a string with escapes, rebuilt
  std::vector<std::uint8_t> bytes_;  // a byte string's payload, decoded
  std::uint64_t comments_ = 0;       // counted on the rare path that skips them
};

template <ValueBuilder B>
void TextReader<B>::skip_more_space() noexcept {
  while (pos_ < n_) {
    switch (ascii_space[s_[pos_]]) {
      case space_run:
        ++pos_;
        if constexpr (word_scan) {
          // Indentation comes in runs of spaces.
          while (n_ - pos_ >= 8) {
            const std::uint64_t x = load_word(s_ + pos_) ^ repeat_byte(' ');
            if (x != 0) {
              pos_ += static_cast<std::size_t>(std::countr_zero(x)) >> 3;
              break;
            }
            pos_ += 8;
          }
        }
        break;
      case space_one:
        ++pos_;
#if defined(__SSE2__)
        // A line break is mostly followed by its indentation: up to
        // sixteen spaces are counted at once, without a branch per word
        // whose outcome varies with the depth.
        if (n_ - pos_ >= 16) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + pos_));
          const auto spaces = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
          pos_ += static_cast<std::size_t>(std::countr_zero(~spaces));
        }
#endif
        break;
      case space_other: pos_ = skip_space_and_comments(text_, pos_, &comments_); return;
      default: return;
    }
  }
}

template <ValueBuilder B>
std::size_t TextReader<B>::skip_ident_chars(std::size_t i, bool& ascii) const noexcept {
  while (i < n_ && (ascii_classes[s_[i]] & ascii_ident_continue)) ++i;
  if (i < n_ && s_[i] >= 0x80) {
    ascii = false;
    i = skip_identifier(text_, i);
  }
  return i;
}

// A double-quoted string at pos_. `out` views the text itself when it has no
// escapes, unescaped_ otherwise.
template <ValueBuilder B>
bool TextReader<B>::quoted(std::string_view& out, bool& ascii) {
  const std::size_t first = ++pos_;  // after the '"'
  std::size_t chunk = first;          // start of the bytes not yet checked
  bool escaped = false;
  std::uint64_t high = 0;  // the OR of every byte, for the ASCII test
  std::size_t i = first;
  for (;;) {
    // Find the next '"' or backslash; everything else is copied as it is.
    if constexpr (word_scan) {
      while (n_ - i >= 8) {
        const std::uint64_t w = load_word(s_ + i);
        const std::uint64_t stop = bytes_equal(w, '"') | bytes_equal(w, '\\');
        if (stop != 0) {
          const unsigned k = static_cast<unsigned>(std::countr_zero(stop)) >> 3;
          high |= w & ((std::uint64_t{1} << (8 * k)) - 1);
          i += k;
          goto found;
        }
        high |= w;
        i += 8;
      }
    }
    while (i < n_ && s_[i] != '"' && s_[i] != '\\') high |= s_[i++];
  found:
    const bool plain = (high & high_bits) == 0;
    if (!plain && !is_valid_utf8(s_ + chunk, i - chunk)) return fail(text_invalid_utf8_in(text_, chunk, i));
    if (i >= n_) {
      pos_ = n_;
      return fail_at(n_, "unterminated string");
    }
    if (escaped) unescaped_.append(text_.substr(chunk, i - chunk));
    if (s_[i] == '"') {
      pos_ = i + 1;
      out = escaped ? std::string_view(unescaped_) : text_.substr(first, i - first);
      ascii = plain;
      return true;
    }
    // A backslash.
    if (!escaped) {
      escaped = true;
      unescaped_.assign(text_.substr(first, i - first));
    }
    if (i + 1 >= n_) return fail_at(n_, "unterminated string escape");
    const std::uint8_t e = s_[i + 1];
    switch (e) {
      case '"': unescaped_.push_back('"'); break;
      case '\\': unescaped_.push_back('\\'); break;
      case 'n': unescaped_.push_back('\n'); break;
      case 'r': unescaped_.push_back('\r'); break;
      case 't': unescaped_.push_back('\t'); break;
      default:
        // Any other pair stays as written: "\u0041" is six characters. A
        // non-ASCII character after the backslash starts the next chunk,
        // which checks it.
        unescaped_.push_back('\\');
        if (e >= 0x80) {
          chunk = i = i + 1;
          continue;
        }
        unescaped_.push_back(static_cast<char>(e));
    }
    chunk = i = i + 2;
  }
}

template <ValueBuilder B>
bool TextReader<B>::key() {
  // Whitespace is already skipped.
  const std::uint8_t c = at(pos_);
  if (c == '"') {
    std::string_view k;
    bool ascii;
    if (!quoted(k, ascii)) return false;
    return b_.key(k, ascii);
  }
  const std::size_t start = pos_;
  std::size_t i = pos_;
  bool ascii = true;
  if (i < n_ && (ascii_classes[c] & ascii_ident_start)) {
    ++i;
  } else if (c >= 0x80) {
    std::size_t width;
    const char32_t ch = decode_utf8(s_, n_, i, width);
    if (ch == invalid_char) return fail_at(i, "invalid UTF-8");
    if (!is_identifier_start(ch)) return fail_at(i, "expected identifier");
    i += width;
    ascii = false;
  } else {
    return fail_at(i, "expected identifier");
  }
  pos_ = skip_ident_chars(i, ascii);
  return b_.key(text_.substr(start, pos_ - start), ascii);
}

template <ValueBuilder B>
bool TextReader<B>::real_number(std::size_t start) {
  // A float's token runs on over digits, points and exponents. What
  // from_chars reads from its start, up to where the token would end
  // anyway, is the answer (it takes no '+'): the token need not be scanned
  // first.
  const char* const text = reinterpret_cast<const char*>(s_);
  const char* const first = text + start + (s_[start] == '+');
  double d;
  if (const auto r = std::from_chars(first, text + n_, d); r.ec == std::errc()) {
    const std::uint8_t after = at(static_cast<std::size_t>(r.ptr - text));
    if (static_cast<unsigned>(after - '0') > 9 && after != '.' && after != 'e' && after != 'E') {
      pos_ = static_cast<std::size_t>(r.ptr - text);
      skip_type_annotation();
      return b_.real(d);
    }
  }
  // Anything else (a malformed token, overflow, underflow) is scanned
  // whole, and goes the long way.
  while (pos_ < n_) {
    const std::uint8_t b = s_[pos_];
    if (static_cast<unsigned>(b - '0') <= 9 || b == '.') {
      ++pos_;
    } else if (b == 'e' || b == 'E') {
      ++pos_;
      if (pos_ < n_ && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
    } else {
      break;
    }
  }
  const std::string_view token = text_.substr(start, pos_ - start);
  skip_type_annotation();
  auto slow = read_float(text_, token, pos_);
  if (!slow) return fail(std::move(slow).error());
  return b_.real(*slow);
}

template <ValueBuilder B>
bool TextReader<B>::number() {
  const std::size_t start = pos_;
  const bool negative = s_[pos_] == '-';
  if (negative || s_[pos_] == '+') ++pos_;
  const std::size_t digits_start = pos_;
  std::uint64_t v = 0;
  while (pos_ < n_ && static_cast<unsigned>(s_[pos_] - '0') <= 9) v = v * 10 + (s_[pos_++] - '0');
  std::size_t digits = pos_ - digits_start;
  const std::uint8_t next = at(pos_);
  if (next == '.' || next == 'e' || next == 'E') return real_number(start);
  const std::string_view token = text_.substr(start, pos_ - start);
  skip_type_annotation();
  // Nineteen digits cannot overflow; longer runs (leading zeros, say) are
  // summed again with a check.
  bool ok = digits != 0;
  if (digits > 19) {
    const std::uint64_t max = negative ? std::uint64_t{1} << 63 : std::numeric_limits<std::uint64_t>::max();
    v = 0;
    for (std::size_t k = digits_start; k < digits_start + digits; ++k) {
      const std::uint64_t d = s_[k] - '0';
      if (v > (max - d) / 10) {
        ok = false;
        break;
      }
      v = v * 10 + d;
    }
  } else if (negative && v > std::uint64_t{1} << 63) {
    ok = false;
  }
  if (!ok) return fail_at(pos_, "invalid integer: " + std::string(token));
  if (negative) return b_.integer(static_cast<std::int64_t>(0 - v));
  return b_.uint(v);
}

template <ValueBuilder B>
bool TextReader<B>::scalar() {
  switch (at(pos_)) {
    case '"': {
      std::string_view s;
      bool ascii;
      if (!quoted(s, ascii)) return false;
      skip_type_annotation();
      return b_.str(s, ascii);
    }
    case '-':
      if (starts_with("-inf")) return literal(4) && b_.real(-std::numeric_limits<double>::infinity());
      return number();
    case '+': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return number();
    case 'b':
      if (starts_with("b64#")) {
        pos_ += 4;
        if (auto r = read_base64(text_, pos_, bytes_); !r) return fail(std::move(r).error());
        return b_.bytes(bytes_);
      }
      break;
    case 'n':
      if (starts_with("null")) return literal(4) && b_.null();
      break;
    case 't':
      if (starts_with("true")) return literal(4) && b_.boolean(true);
      break;
    case 'f':
      if (starts_with("false")) return literal(5) && b_.boolean(false);
      break;
    case 'i':
      if (starts_with("inf")) return literal(3) && b_.real(std::numeric_limits<double>::infinity());
      break;
    case 'N':
      if (starts_with("NaN")) return literal(3) && b_.real(std::bit_cast<double>(canonical_nan_bits));
      break;
    default: break;
  }
  return fail(text_unexpected_at(text_, pos_));
}

template <ValueBuilder B>
Result<bool> TextReader<B>::run() {
  // Which containers are open, innermost last: true for an object.
  std::array<bool, text_max_depth> in_object;
  std::size_t depth = 0;
  bool go = true;

  // Each label is one state; a value ends at `after_value`, which returns to
  // the container around it.
value:
  skip_space();
  if (pos_ < n_ && (s_[pos_] == '[' || s_[pos_] == '{')) {
    const bool object = s_[pos_] == '{';
    if (depth == text_max_depth) {
      go = fail_at(pos_, text_nesting_message(text_max_depth));
      goto out;
    }
    ++pos_;
    in_object[depth++] = object;
    if (object) {
      if (!(go = b_.begin_object(0))) goto out;
      goto object_member;
    }
    if (!(go = b_.begin_array(0))) goto out;
    goto array_element;
  }
  if (!(go = scalar())) goto out;

after_value:
  if (depth == 0) goto document_end;
  if (in_object[depth - 1]) {
    if (!(go = expect(';'))) goto out;
    goto object_member;
  }
  skip_space();
  if (pos_ < n_ && s_[pos_] == ',') ++pos_;
  // fall through: the next element or the end

array_element:
  skip_space();
  if (pos_ < n_ && s_[pos_] == ']') {
    ++pos_;
    --depth;
    if (!(go = b_.end_array())) goto out;
    goto after_value;
  }
  goto value;

object_member:
  skip_space();
  if (pos_ < n_ && s_[pos_] == '}') {
    ++pos_;
    --depth;
    if (!(go = b_.end_object())) goto out;
    goto after_value;
  }
  if (!(go = key()) || !(go = expect(':'))) goto out;
  goto value;

document_end:
  skip_space();
  if (pos_ < n_) go = fail(text_unexpected_at(text_, pos_));

out:
  if (error_) return std::unexpected(std::move(*error_));
  return go;
}

}  // namespace tuvax::detail

#endif  // TUVAX_DETAIL_TEXT_READER_HPP
