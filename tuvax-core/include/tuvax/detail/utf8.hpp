#ifndef TUVAX_DETAIL_UTF8_HPP
#define TUVAX_DETAIL_UTF8_HPP

// UTF-8 helpers shared by the decoder (validation of strings, keys and
// dictionary suffixes) and the text module (walking characters).

#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy

namespace tuvax::detail {

inline constexpr char32_t invalid_char = 0xFFFFFFFF;

// Decodes the character at s[pos, len). On success returns it and sets `width`
// to its byte count (1 to 4). Rejects overlong forms, surrogates (U+D800 to
// U+DFFF), values above U+10FFFF and truncated sequences: then returns
// invalid_char with `width` 1.
inline char32_t decode_utf8(const std::uint8_t* s, std::size_t len, std::size_t pos,
                            std::size_t& width) noexcept {
  width = 1;
  const std::uint8_t b0 = s[pos];
  if (b0 < 0x80) return b0;
  std::size_t n;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return invalid_char;
  }
  if (len - pos < n) return invalid_char;
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint8_t b = s[pos + i];
    if ((b & 0xC0) != 0x80) return invalid_char;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return invalid_char;
  width = n;
  return cp;
}

// Eight bytes from `s`, unaligned; used only to test the high bits, so the
// byte order does not matter.
inline std::uint64_t load_word(const std::uint8_t* s) noexcept {
  std::uint64_t w;
  std::memcpy(&w, s, sizeof w);
  return w;
}

inline constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

// What a validating pass learns about a byte string.
enum class Utf8Check : std::uint8_t { invalid, ascii, multibyte };

// True when s[0, len) is well-formed UTF-8: the vectorised validator, for
// text that is not plain ASCII (defined in the core library).
bool is_valid_utf8_simd(const std::uint8_t* s, std::size_t len) noexcept;

// Validates s[0, len) as UTF-8 and tells whether it is all ASCII, which lets
// a consumer copy the bytes as they are. Most strings are short and ASCII:
// they are settled here, sixteen bytes a step, the last few by overlapping
// words; the rest of any other string goes to the vectorised validator from
// its first non-ASCII byte on.
[[gnu::always_inline]] inline Utf8Check check_utf8(const std::uint8_t* s, std::size_t len) noexcept {
  std::size_t pos = 0;
  if (len >= 8) {
    while (len - pos >= 16 && ((load_word(s + pos) | load_word(s + pos + 8)) & high_bits) == 0) pos += 16;
    if (len - pos >= 8 && (load_word(s + pos) & high_bits) == 0) pos += 8;
    // Fewer than eight bytes left: the string's last eight words settle them.
    if (len - pos < 8 && (load_word(s + len - 8) & high_bits) == 0) return Utf8Check::ascii;
  } else if (len >= 4) {
    // Two words of four that may overlap but never leave the string.
    std::uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + len - 4, 4);
    if (((a | b) & 0x80808080u) == 0) return Utf8Check::ascii;
  }
  while (pos < len && s[pos] < 0x80) ++pos;
  if (pos == len) return Utf8Check::ascii;
  return is_valid_utf8_simd(s + pos, len - pos) ? Utf8Check::multibyte : Utf8Check::invalid;
}

// True when s[0, len) is well-formed UTF-8.
inline bool is_valid_utf8(const std::uint8_t* s, std::size_t len) noexcept {
  return check_utf8(s, len) != Utf8Check::invalid;
}

inline constexpr bool is_continuation_byte(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace tuvax::detail

#endif  // TUVAX_DETAIL_UTF8_HPP
