#ifndef TUVAX_UNICODE_TABLES_HPP
#define TUVAX_UNICODE_TABLES_HPP

// The Unicode character classes of the text notation. The tables behind the
// unicode_* functions are generated (tools/gen_unicode_tables.py) into
// unicode_tables.cpp; the inline wrappers answer ASCII without a search, as
// nearly every character of real text is ASCII.

namespace tuvax::detail {

// Table look-ups for any code point (binary search over ranges).
bool unicode_alphabetic(char32_t c) noexcept;   // the Alphabetic property
bool unicode_numeric(char32_t c) noexcept;      // general category Nd, Nl or No
bool unicode_white_space(char32_t c) noexcept;  // the White_Space property

inline bool is_alphabetic(char32_t c) noexcept {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return unicode_alphabetic(c);
}

inline bool is_numeric(char32_t c) noexcept {
  if (c < 0x80) return c >= '0' && c <= '9';
  return unicode_numeric(c);
}

inline bool is_white_space(char32_t c) noexcept {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return unicode_white_space(c);
}

// A bare key or a type annotation: starts with an alphabetic character or '_',
// continues with alphabetic, numeric or '_'.
inline bool is_ident_start(char32_t c) noexcept { return c == '_' || is_alphabetic(c); }
inline bool is_ident_continue(char32_t c) noexcept {
  return c == '_' || is_alphabetic(c) || is_numeric(c);
}

}  // namespace tuvax::detail

#endif  // TUVAX_UNICODE_TABLES_HPP
