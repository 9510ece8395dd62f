#ifndef TUVAX_UTF8_HPP
#define TUVAX_UTF8_HPP

// UTF-8 helpers shared by the decoder (validation of strings, keys and
// dictionary suffixes) and the text module (walking characters).

#include <cstddef>
#include <cstdint>

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

// True when s[0, len) is well-formed UTF-8. ASCII runs take the fast path,
// eight bytes at a time.
inline bool is_valid_utf8(const std::uint8_t* s, std::size_t len) noexcept {
  std::size_t pos = 0;
  while (pos < len) {
    while (len - pos >= 8) {
      std::uint64_t word = 0;
      for (int i = 0; i < 8; ++i) word |= static_cast<std::uint64_t>(s[pos + i]) << (8 * i);
      if (word & 0x8080808080808080ULL) break;
      pos += 8;
    }
    if (pos >= len) break;
    if (s[pos] < 0x80) {
      ++pos;
      continue;
    }
    std::size_t width;
    if (decode_utf8(s, len, pos, width) == invalid_char) return false;
    pos += width;
  }
  return true;
}

inline constexpr bool is_continuation_byte(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace tuvax::detail

#endif  // TUVAX_UTF8_HPP
