#include "tuvax/text.hpp"

#include <algorithm>  // std::max
#include <bit>        // std::bit_cast, std::byteswap, std::countr_zero, std::rotr
#include <charconv>  // std::to_chars, std::from_chars
#include <cmath>     // std::isnan, std::isinf, std::fabs, std::signbit
#include <cstring>   // std::memcpy
#include <format>
#include <limits>
#include <new>        // std::bad_alloc
#include <stdexcept>  // std::length_error
#include <string_view>
#include <system_error>  // std::errc
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base64.hpp"
#include "tuvax/detail/text_reader.hpp"
#include "tuvax/detail/text_writer.hpp"
#include "tuvax/detail/utf8.hpp"
#include "unicode_tables.hpp"

namespace tuvax {

namespace {

const std::uint8_t* bytes_of(std::string_view s) noexcept {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// The character at `pos` and its width; a malformed byte is invalid_char,
// one byte wide.
char32_t char_at(std::string_view text, std::size_t pos, std::size_t& width) noexcept {
  return detail::decode_utf8(bytes_of(text), text.size(), pos, width);
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

// ---- Number formatting ----

// The eight decimal digits of v (below 10^8, leading zeros included) as
// they lie in memory on a little-endian machine, each still a number
// 0..9: all eight at once in one word, each step dividing every lane by
// a multiply and a shift (exact for the lanes' ranges: below 10^4 for
// 10486 / 2^20, below 100 for 103 / 2^10).
[[gnu::always_inline]] constexpr std::uint64_t eight_digit_lanes(std::uint32_t v) noexcept {
  const std::uint64_t quads = (v / 10000) | (std::uint64_t{v % 10000} << 32);
  const std::uint64_t high_pairs = ((quads * 10486) >> 20) & 0x0000007F0000007FULL;
  const std::uint64_t pairs = high_pairs | ((quads - high_pairs * 100) << 16);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
  return tens | ((pairs - tens * 10) << 8);
}

// The sixteen digits of v (below 10^16, leading zeros included) as two
// words like eight_digit_lanes's, the first eight digits in `high`. With
// SSE2 the same steps run on all four four-digit groups at once.
struct DigitWords {
  std::uint64_t high, low;
};
[[gnu::always_inline]] inline DigitWords sixteen_digit_lanes(std::uint64_t v) noexcept {
  const std::uint64_t high = v / 100'000'000;
  const std::uint64_t low = v - high * 100'000'000;
#if defined(__SSE2__)
  const __m128i halves = _mm_set_epi64x(static_cast<long long>(low), static_cast<long long>(high));
  // Each half's first four digits: q / 10^4 = q * ceil(2^45 / 10^4) >> 45
  // for q below 2^32.
  const __m128i upper = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi32(static_cast<int>(0xD1B71759U))), 45);
  const __m128i lower = _mm_sub_epi32(halves, _mm_mul_epu32(upper, _mm_set1_epi32(10'000)));
  // Four 32-bit lanes, the groups in order, each copied to both of its
  // 16-bit halves; the lower half keeps the group's first two digits.
  const __m128i quads = _mm_or_si128(upper, _mm_slli_epi64(lower, 32));
  const __m128i both = _mm_or_si128(quads, _mm_slli_epi32(quads, 16));
  const __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(both, _mm_set1_epi16(5243)), 3);  // q / 100, q < 10^4
  const __m128i rests = _mm_sub_epi16(both, _mm_mullo_epi16(hundreds, _mm_set1_epi16(100)));
  const __m128i first = _mm_set1_epi32(0x0000FFFF);
  const __m128i pairs = _mm_or_si128(_mm_and_si128(first, hundreds), _mm_andnot_si128(first, rests));
  // Each pair's tens digit to its lower byte, as in eight_digit_lanes.
  const __m128i tens = _mm_srli_epi16(_mm_mullo_epi16(pairs, _mm_set1_epi16(103)), 10);
  const __m128i ones = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
  const __m128i digits = _mm_or_si128(tens, _mm_slli_epi16(ones, 8));
  return {static_cast<std::uint64_t>(_mm_cvtsi128_si64(digits)),
          static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(digits, digits)))};
#else
  return {eight_digit_lanes(static_cast<std::uint32_t>(high)), eight_digit_lanes(static_cast<std::uint32_t>(low))};
#endif
}

// Stores the digits of `lanes` from its `skip`-th on (skip < 8) at p:
// 8 - skip digits, then bytes past them that the next store or the next
// text overwrites.
[[gnu::always_inline]] inline void store_digits(char* p, std::uint64_t lanes, int skip = 0) noexcept {
  lanes = (lanes >> (8 * skip)) + 0x3030303030303030ULL;  // '0' in each byte
  if constexpr (std::endian::native == std::endian::big) lanes = std::byteswap(lanes);
  std::memcpy(p, &lanes, 8);
}

// The digits of v, without leading zeros, the last one included: v below
// 10^8 (the leading chunk of a longer number).
char* put_leading_chunk(char* p, std::uint32_t v) noexcept {
  if (v < 100) {
    // Small numbers (counts, integer parts) are the most common: one or two digits.
    const std::uint32_t tens = (v * 103) >> 10;
    p[0] = static_cast<char>('0' + tens);
    p[v >= 10] = static_cast<char>('0' + v - tens * 10);
    return p + 1 + (v >= 10);
  }
  const std::uint64_t lanes = eight_digit_lanes(v);
  const int zeros = lanes == 0 ? 7 : std::countr_zero(lanes) / 8;
  store_digits(p, lanes, zeros);
  return p + 8 - zeros;
}

constexpr std::uint64_t e8 = 100'000'000;
constexpr std::uint64_t e16 = e8 * e8;

// v's digits at p, written left to right straight into the output (a
// round trip through a scratch buffer would stall reading back the words
// just stored); returns the end. Writes all of [p, p + 20).
char* put_digits(char* p, std::uint64_t v) noexcept {
  if (v < e8) return put_leading_chunk(p, static_cast<std::uint32_t>(v));
  if (v < e16) {
    const std::uint64_t high = v / e8;
    p = put_leading_chunk(p, static_cast<std::uint32_t>(high));
    store_digits(p, eight_digit_lanes(static_cast<std::uint32_t>(v - high * e8)));
    return p + 8;
  }
  const std::uint64_t top = v / e16;
  const DigitWords rest = sixteen_digit_lanes(v - top * e16);
  p = put_leading_chunk(p, static_cast<std::uint32_t>(top));
  store_digits(p, rest.high);
  store_digits(p + 8, rest.low);
  return p + 16;
}

// Exactly n digits of v (v < 10^n, 1 <= n <= 24), leading zeros included,
// at p; returns the end. Writes all of [p, p + n + 8).
char* put_fixed_digits(char* p, std::uint64_t v, int n) noexcept {
  if (n > 16) {
    const std::uint64_t top = v / e16;
    store_digits(p, eight_digit_lanes(static_cast<std::uint32_t>(top)), 24 - n);
    p += n - 16;
    n = 16;
    v -= top * e16;
  }
  if (n > 8) {
    const DigitWords words = sixteen_digit_lanes(v);
    store_digits(p, words.high, 16 - n);
    store_digits(p + (n - 8), words.low);
    return p + n;
  }
  store_digits(p, eight_digit_lanes(static_cast<std::uint32_t>(v)), 8 - n);
  return p + n;
}

// Exact in a double, each of them (10^22 = 2^22 * 5^22, and 5^22 < 2^53).
constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t exact_powers_of_ten[] = {
    1ULL,           10ULL,           100ULL,           1000ULL,           10000ULL,
    100000ULL,      1000000ULL,      10000000ULL,      100000000ULL,      1000000000ULL,
    10000000000ULL, 100000000000ULL, 1000000000000ULL, 10000000000000ULL, 100000000000000ULL,
    1000000000000000ULL, 10000000000000000ULL, 100000000000000000ULL};
constexpr std::uint64_t powers_of_five[] = {
    1ULL,           5ULL,            25ULL,            125ULL,            625ULL,
    3125ULL,        15625ULL,        78125ULL,         390625ULL,         1953125ULL,
    9765625ULL,     48828125ULL,     244140625ULL,     1220703125ULL,     6103515625ULL,
    30517578125ULL, 152587890625ULL, 762939453125ULL,  3814697265625ULL,  19073486328125ULL,
    95367431640625ULL, 476837158203125ULL, 2384185791015625ULL};
constexpr int max_power = 22;  // 5^22 < 2^52
constexpr double two_to_53 = 9007199254740992.0;

// 1 / 5^n modulo 2^64, which exists as 5 is odd.
constexpr std::uint64_t inverse_of_five_to(int n) noexcept {
  std::uint64_t r = 1;
  for (int i = 0; i < n; ++i) r *= 0xCCCCCCCCCCCCCCCDULL;  // 5 times this is 1 modulo 2^64
  return r;
}

// Divides the decimal zeros off the end of c (below 10^16: 15 at most) and
// returns how many there were, in four steps whatever the count. c is a
// multiple of 10^n = 2^n 5^n exactly when c times the inverse of 5^n,
// modulo 2^64 and turned right by n bits, is at most (2^64 - 1) / 10^n;
// that is then c / 10^n.
[[gnu::always_inline]] inline int remove_decimal_zeros(std::uint64_t& c) noexcept {
  int zeros = 0;
  const auto step = [&](int n) noexcept {
    const std::uint64_t q = std::rotr(c * inverse_of_five_to(n), n);
    const bool divides = q <= ~std::uint64_t{0} / exact_powers_of_ten[n];
    c = divides ? q : c;
    zeros += divides ? n : 0;
  };
  step(8);
  step(4);
  step(2);
  step(1);
  return zeros;
}

// The shortest decimal that reads back as `d`, in fixed notation, for a
// positive d below 2^53 that is no integer (`whole` is its integer part):
// the text std::to_chars gives (the fewest digits after the point; of
// those, the one nearest d), found exactly with integers, in a fraction of
// its time, for the decimals of ordinary magnitude that fill most
// documents. Returns the end of the
// text, at most p + 24, though it writes scratch up to p + 32; nullptr when
// it declines (the caller takes the long way).
//
// At level j, decimals with j digits after the point are the integers n
// standing for n / 10^j, and d is x = mant * 5^j / 2^s with s = -(e2 + j).
// The decimals that read back as d are those in its rounding interval,
// x - wl to x + wu (wl = wu = 2^(e2-1) * 10^j, wl half that just above a
// power of two). Scaled by 2^(s+2) all of these are integers. The finest
// level used is k, the last with d * 10^k below 2^53: there the interval is
// under 2 wide, so it holds at most two integers and at most one multiple
// of 10, 100, ...; the shortest decimal is the largest such multiple, and
// with none the two integers compete on their distance to x. A level k
// without any needs 17 digits: level k + 1, where the nearest wins.
char* shortest_fixed(double d, std::uint64_t whole, char* p) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(d);
  const int biased = static_cast<int>(bits >> 52);
  const std::uint64_t mant = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e2 = biased - 1075;
  // The product rounds monotonically, so it is below 2^53 exactly when the
  // exact one is.
  int k = 15 - (((biased - 1023) * 78913) >> 18);  // about 15 - log10(d)
  if (k < 1) k = 1;
  while (k <= max_power && d * powers_of_ten[k] < two_to_53) ++k;
  --k;
  // The shifts below stay within 1..63 and the products under 2^110.
  if (biased <= 1 || k < 1 || k >= max_power || -(e2 + k) < 2 || -(e2 + k) > 60) return nullptr;

  __extension__ using u128 = unsigned __int128;  // GCC and Clang have it on every 64-bit target
  // v >> sh as 64 bits, for 0 < sh < 64 and a result that fits: two word
  // shifts, without the test of sh >= 64 a general 128-bit shift makes.
  const auto shift_down = [](u128 v, int sh) noexcept {
    return (static_cast<std::uint64_t>(v) >> sh) | (static_cast<std::uint64_t>(v >> 64) << (64 - sh));
  };
  const bool lopsided = mant == (std::uint64_t{1} << 52);
  std::uint64_t m = 0;
  for (int level = k;; ++level) {
    const int s = -(e2 + level);
    const u128 five = powers_of_five[level];
    const u128 x = u128{mant} * five;  // d * 10^level * 2^s
    const u128 wu = five << 1;         // both scaled by 2^(s+2)
    const u128 wl = lopsided ? five : wu;
    const u128 low = (x << 2) - wl;
    const u128 high = (x << 2) + wu;
    // The ends are odd multiples of 2 (of 1, lopsided), never of 2^(s+2):
    // no integer sits on one, so whether the ends count does not matter.
    const std::uint64_t lo = shift_down(low, s + 2) + 1;
    const std::uint64_t hi = shift_down(high, s + 2);
    if (lo > hi) {
      if (level == k) continue;
      return nullptr;  // not expected: 17 digits always do
    }
    // The largest multiple of 10^t in [lo, hi], t > 0: one at most.
    m = hi;
    int j = level;
    if (hi / 10 * 10 >= lo) {
      m = hi / 10;
      j -= 1 + remove_decimal_zeros(m);
    }
    if (j == level) {
      // None: of the integers in [lo, hi], the nearest x.
      // s < 64: what lies below the point is in the low word.
      const std::uint64_t f = shift_down(x, s);
      const std::uint64_t rest = static_cast<std::uint64_t>(x) & ((std::uint64_t{1} << s) - 1);
      const std::uint64_t half = std::uint64_t{1} << (s - 1);
      const bool f_in = lo <= f && f <= hi;
      const bool next_in = lo <= f + 1 && f + 1 <= hi;
      if (rest == half && f_in && next_in) return nullptr;  // a tie: left to the long way
      m = (rest > half ? next_in : !f_in) ? f + 1 : f;
    } else if (j == 0) {
      return nullptr;  // an integer, which d is not
    }
    k = j;
    break;
  }

  // m / 10^k: its integer part is d's own (an integer between them would
  // read back as d), and the digits after the point fill all k places.
  // Below 2^57, m / 10^k has no integer part from k = 18 on.
  const std::uint64_t fraction = k >= 18 ? m : m - whole * exact_powers_of_ten[k];
  p = put_digits(p, whole);
  *p++ = '.';
  return put_fixed_digits(p, fraction, k);
}

}  // namespace

// ---- Reader: the rare paths and the errors ----

namespace detail {

TextPosition text_position(std::string_view text, std::size_t pos) noexcept {
  TextPosition p{1, 1};
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    if (text[i] == '\n') {
      ++p.line;
      line_start = i + 1;
    }
  }
  // Characters, decoded as the reader walks them: a malformed byte is one.
  for (std::size_t i = line_start; i < pos; ++p.col) {
    std::size_t width;
    char_at(text, i, width);
    i += width;
  }
  return p;
}

TuvaxError text_error_at(std::string_view text, std::size_t pos, std::string message) {
  const TextPosition p = text_position(text, pos);
  return TuvaxError::text_parse(p.line, p.col, std::move(message));
}

TuvaxError text_unexpected_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return text_error_at(text, pos, "unexpected end of input");
  std::size_t width;
  if (char_at(text, pos, width) == invalid_char) return text_error_at(text, pos, "invalid UTF-8");
  return text_error_at(text, pos, std::format("unexpected character: '{}'", text.substr(pos, width)));
}

TuvaxError text_expected_at(std::string_view text, std::size_t pos, char c) {
  if (pos >= text.size()) return text_error_at(text, pos, std::format("expected '{}', got EOF", c));
  std::size_t width;
  if (char_at(text, pos, width) == invalid_char) return text_error_at(text, pos, "invalid UTF-8");
  // The character is consumed: the error stands just after it.
  return text_error_at(text, pos + width, std::format("expected '{}', got '{}'", c, text.substr(pos, width)));
}

TuvaxError text_invalid_utf8_in(std::string_view text, std::size_t from, std::size_t to) {
  std::size_t i = from;
  while (i < to) {
    std::size_t width;
    if (char_at(text, i, width) == invalid_char) break;
    i += width;
  }
  return text_error_at(text, i, "invalid UTF-8");
}

std::size_t skip_space_and_comments(std::string_view text, std::size_t pos, std::uint64_t* comments) noexcept {
  const std::size_t len = text.size();
  const auto starts_with = [&](std::string_view s) { return text.substr(pos).starts_with(s); };
  // The character at pos, or end_of_input; width 1 for a malformed byte.
  constexpr char32_t end_of_input = 0xFFFFFFFE;
  std::size_t width = 0;
  const auto peek = [&]() -> char32_t { return pos < len ? char_at(text, pos, width) : end_of_input; };
  for (;;) {
    for (char32_t c = peek(); c != end_of_input && c != invalid_char && is_white_space(c); c = peek()) pos += width;
    if (starts_with("//")) {
      pos += 2;
      if (comments != nullptr) ++*comments;
      for (;;) {
        const char32_t c = peek();
        if (c == end_of_input) break;
        if (c == invalid_char) return pos;  // left for the caller to report
        pos += width;
        if (c == '\n') break;
      }
    } else if (starts_with("/*")) {
      pos += 2;
      if (comments != nullptr) ++*comments;
      std::uint64_t nesting = 1;
      while (nesting > 0) {
        const char32_t c = peek();
        if (c == end_of_input) break;  // an unclosed comment ends with the input
        if (c == invalid_char) return pos;
        pos += width;
        if (c == '*' && pos < len && text[pos] == '/') {
          ++pos;
          --nesting;
        } else if (c == '/' && pos < len && text[pos] == '*') {
          ++pos;
          ++nesting;
        }
      }
    } else {
      return pos;
    }
  }
}

std::size_t skip_identifier(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size()) {
    std::size_t width;
    const char32_t c = char_at(text, pos, width);
    if (c == invalid_char || !is_ident_continue(c)) break;
    pos += width;
  }
  return pos;
}

bool is_identifier_start(char32_t c) noexcept { return is_ident_start(c); }

Result<void> read_base64(std::string_view text, std::size_t& pos, std::vector<std::uint8_t>& out) {
  const std::size_t len = text.size();
  // The payload runs to the first character that cannot occur in base64 and
  // ends an enclosing construct: ';' after a member, ',' or ']' in an array,
  // '}' for a member written without its ';'. Surrounding whitespace is
  // trimmed; a malformed byte counts as payload and fails in the decoder.
  std::size_t first = std::string_view::npos;  // the trimmed payload's bounds
  std::size_t last = pos;
  while (pos < len) {
    const char b = text[pos];
    if (b == ';' || b == ',' || b == ']' || b == '}') break;
    const std::size_t at = pos;
    std::size_t width;
    const char32_t c = char_at(text, pos, width);
    pos += width;
    if (c == invalid_char || !is_white_space(c)) {
      if (first == std::string_view::npos) first = at;
      last = pos;
    }
  }
  const std::string_view payload =
      first == std::string_view::npos ? std::string_view() : text.substr(first, last - first);
  auto bytes = base64_decode(payload);
  if (!bytes) return std::unexpected(text_error_at(text, pos, "invalid base64: " + bytes.error()));
  out = std::move(*bytes);
  return {};
}

Result<double> read_float(std::string_view text, std::string_view token, std::size_t error_pos) {
  // from_chars takes no '+'; whatever it reads whole and in range is the
  // answer. The rest (bad forms, overflow, underflow) goes the long way.
  const std::string_view unsigned_token = token.front() == '+' ? token.substr(1) : token;
  double d = 0;
  const char* end = unsigned_token.data() + unsigned_token.size();
  const auto r = std::from_chars(unsigned_token.data(), end, d, std::chars_format::general);
  if (r.ec == std::errc() && r.ptr == end) return d;
  long long magnitude = 0;
  if (!check_float_token(token, magnitude))
    return std::unexpected(text_error_at(text, error_pos, std::format("invalid float: {}", token)));
  return to_double(token, magnitude);
}

// ---- Writer ----

bool is_bare_key_unicode(std::string_view key) noexcept {
  if (key.empty()) return false;
  std::size_t width;
  const char32_t c = char_at(key, 0, width);
  if (c == invalid_char || !is_ident_start(c)) return false;
  return skip_identifier(key, width) == key.size();
}

bool TextWriter::fail(TuvaxError e) {
  if (!error_) error_.emplace(std::move(e));
  return false;
}

bool TextWriter::nesting_failure() {
  return fail(TuvaxError::nesting_too_deep(text_max_depth, text_max_depth));
}

bool TextWriter::memory_failure(std::uint64_t wanted) {
  return fail(TuvaxError::memory_limit_exceeded(std::uint64_t{out_.size()} + wanted, std::string().max_size()));
}

void TextWriter::put_uint(std::uint64_t v) {
  if (!reserve(24)) return;
  out_.advance(static_cast<std::size_t>(put_digits(out_.end(), v) - out_.end()));
}

void TextWriter::put_int(std::int64_t v) {
  if (v == 0) {
    put("-0");
    return;
  }
  if (!reserve(25)) return;
  char* p = out_.end();
  if (v < 0) *p++ = '-';
  // The magnitude, -2^63 included, as an unsigned.
  p = put_digits(p, v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
  out_.advance(static_cast<std::size_t>(p - out_.end()));
}

void TextWriter::put_real(double d) {
  if (std::isnan(d)) {
    put("NaN");
    return;
  }
  if (std::isinf(d)) {
    put(d < 0 ? "-inf" : "inf");
    return;
  }
  // Below 2^53 every integer part is exact, so the shortest round-trip
  // digits in fixed notation are the text: an integral value's own digits,
  // else shortest_fixed's, else std::to_chars's; only very small
  // magnitudes need more room than this, and take the layout below.
  if (std::fabs(d) < two_to_53) {
    if (!reserve(1 + 32)) return;
    char* p = out_.end();
    char* q = p;
    if (std::signbit(d)) *q++ = '-';
    const double a = std::fabs(d);
    const auto whole = static_cast<std::uint64_t>(a);
    if (a == static_cast<double>(whole)) {
      q = put_digits(q, whole);
      *q++ = '.';  // an integral value still reads back as a float
      *q++ = '0';
      out_.advance(static_cast<std::size_t>(q - p));
      return;
    }
    if ((q = shortest_fixed(a, whole, q)) != nullptr) {
      out_.advance(static_cast<std::size_t>(q - p));
      return;
    }
    // Not integral, so fixed notation has a point.
    const auto r = std::to_chars(p, p + 30, d, std::chars_format::fixed);
    if (r.ec == std::errc{}) {
      out_.advance(static_cast<std::size_t>(r.ptr - p));
      return;
    }
  }
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
  if (!reserve(8 + static_cast<std::size_t>(point < 0 ? -point : point) + n)) return;
  char* p = out_.end();
  if (negative) *p++ = '-';
  if (point <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', static_cast<std::size_t>(-point));
    p += -point;
    std::memcpy(p, digits, n);
    p += n;
  } else if (static_cast<std::size_t>(point) >= n) {
    std::memcpy(p, digits, n);
    p += n;
    std::memset(p, '0', static_cast<std::size_t>(point) - n);
    p += static_cast<std::size_t>(point) - n;
    *p++ = '.';  // an integral value still reads back as a float
    *p++ = '0';
  } else {
    std::memcpy(p, digits, static_cast<std::size_t>(point));
    p += point;
    *p++ = '.';
    std::memcpy(p, digits + point, n - static_cast<std::size_t>(point));
    p += n - static_cast<std::size_t>(point);
  }
  out_.advance(static_cast<std::size_t>(p - out_.end()));
}

void TextWriter::quoted(std::string_view s) {
  // Each byte becomes at most two; eight more let whole words be copied
  // ahead of the scan.
  if (!reserve(2 * s.size() + 2 + 8)) return;
  char* p = out_.end();
  *p++ = '"';
  const auto* in = bytes_of(s);
  std::size_t i = 0;
  const std::size_t len = s.size();
  std::uint64_t high = 0;  // the OR of the bytes copied, for widest()
  for (;;) {
    if constexpr (word_scan) {
      while (len - i >= 8) {
        const std::uint64_t w = load_word(in + i);
        // Tab, line feed and carriage return, with the rarer control bytes
        // below 0x0E that the byte loop then copies as they are.
        const std::uint64_t low = (w - repeat_byte(0x0E)) & ~w & high_bits;
        const std::uint64_t special = bytes_equal(w, '"') | bytes_equal(w, '\\') | low;
        std::memcpy(p, &w, 8);
        high |= w;  // bytes past a special one are copied again later
        if (special != 0) {
          const std::size_t k = static_cast<std::size_t>(std::countr_zero(special)) >> 3;
          p += k;
          i += k;
          break;
        }
        p += 8;
        i += 8;
      }
    }
    if (i >= len) break;
    high |= in[i];
    const char c = static_cast<char>(in[i++]);
    char esc;
    switch (c) {
      case '\t': esc = 't'; break;
      case '\n': esc = 'n'; break;
      case '\r': esc = 'r'; break;
      case '"': esc = '"'; break;
      case '\\': esc = '\\'; break;
      default: *p++ = c; continue;
    }
    *p++ = '\\';
    *p++ = esc;
  }
  *p++ = '"';
  out_.advance(static_cast<std::size_t>(p - out_.end()));
  if (high & high_bits) note_wide(s);
}

void TextWriter::note_wide(std::string_view s) noexcept {
  // Once a character beyond U+FFFF is written, nothing is wider: the scan
  // of every later non-ASCII string is spared.
  if (widest_ >= 0xF0) return;
  std::uint8_t widest = widest_;
  for (const unsigned char c : s) widest = std::max(widest, static_cast<std::uint8_t>(c));
  widest_ = widest;
}

void TextWriter::put_bytes(std::span<const std::uint8_t> b) {
  const std::size_t n = base64_encoded_size(b.size());
  if (!reserve(4 + n)) return;
  std::memcpy(out_.end(), "b64#", 4);
  out_.advance(4);
  char* p = out_.end();
  std::size_t i = 0;
  for (; b.size() - i >= 3; i += 3) {
    const std::uint32_t w = (std::uint32_t{b[i]} << 16) | (std::uint32_t{b[i + 1]} << 8) | b[i + 2];
    *p++ = base64_alphabet[w >> 18];
    *p++ = base64_alphabet[(w >> 12) & 0x3F];
    *p++ = base64_alphabet[(w >> 6) & 0x3F];
    *p++ = base64_alphabet[w & 0x3F];
  }
  if (const std::size_t rest = b.size() - i; rest != 0) {
    const std::uint32_t w = (std::uint32_t{b[i]} << 16) | (rest == 2 ? std::uint32_t{b[i + 1]} << 8 : 0);
    *p++ = base64_alphabet[w >> 18];
    *p++ = base64_alphabet[(w >> 12) & 0x3F];
    *p++ = rest == 2 ? base64_alphabet[(w >> 6) & 0x3F] : '=';
    *p++ = '=';
  }
  out_.advance(n);
}

}  // namespace detail

// ---- Entry points ----

namespace {

// Feeds `v` to the writer. Recurses once per level; the walk stops at the
// writer's first failure, and it refuses the 129th level, so the stack
// stays shallow whatever the tree's depth.
void write_tree(detail::TextWriter& w, const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return w.null();
    case Kind::Bool: return w.boolean(v.as_bool());
    case Kind::UInt: return w.uint(v.as_uint());
    case Kind::Int: return w.integer(v.as_int());
    case Kind::Float: return w.real(v.as_float());
    case Kind::Str: return w.str(v.as_str());
    case Kind::Bytes: return w.bytes(v.as_bytes());
    case Kind::Array: {
      const Array& a = v.as_array();
      // Null, booleans, numbers and strings are the kinds up to Str.
      w.begin_array(a.size(), [&a](std::size_t i) { return a[i].kind() <= Kind::Str; });
      for (std::size_t i = 0; i < a.size() && w.ok(); ++i) write_tree(w, a[i]);
      return w.end_array();
    }
    case Kind::Object: {
      const Object& o = v.as_object();
      w.begin_object(o.size());
      for (std::size_t i = 0; i < o.size() && w.ok(); ++i) w.key(o[i].key), write_tree(w, o[i].value);
      return w.end_object();
    }
  }
}

}  // namespace

Result<std::string> pretty_print(const Value& value, std::uint64_t indent) {
  detail::OutputBuffer out;
  detail::TextWriter writer(out, indent);
  write_tree(writer, value);
  if (!writer.ok()) return std::unexpected(*writer.error());
  try {
    return std::string(writer.buffer().view());
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return std::unexpected(TuvaxError::memory_limit_exceeded(writer.buffer().size(), std::string().max_size()));
}

Result<Value> parse(std::string_view text) {
  TreeBuilder builder;
  TUVAX_TRY_VOID(parse_into(text, builder));  // a TreeBuilder never stops
  return builder.take();
}

}  // namespace tuvax
