#include "unicode_tables.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

namespace tuvax::detail {
namespace {

TEST(unicode_tables_test, ascii_shortcuts_agree_with_the_tables) {
  for (char32_t c = 0; c < 0x80; ++c) {
    EXPECT_EQ(is_alphabetic(c), unicode_alphabetic(c)) << static_cast<unsigned>(c);
    EXPECT_EQ(is_numeric(c), unicode_numeric(c)) << static_cast<unsigned>(c);
    EXPECT_EQ(is_white_space(c), unicode_white_space(c)) << static_cast<unsigned>(c);
  }
}

TEST(unicode_tables_test, white_space_is_exactly_the_property) {
  static constexpr char32_t expected[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,
                                          0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
                                          0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                          0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                          0x3000};
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const bool listed = std::find(std::begin(expected), std::end(expected), c) != std::end(expected);
    ASSERT_EQ(is_white_space(c), listed) << std::hex << static_cast<unsigned>(c);
  }
  EXPECT_FALSE(is_white_space(0xFEFF));  // the byte-order mark is not whitespace
}

TEST(unicode_tables_test, classifies_identifier_characters) {
  // Alphabetic: letters of any script, letter numbers, and marks the property
  // includes (U+0345 combining ypogegrammeni).
  for (char32_t c : {U'A', U'z', U'ª', U'é', U'ж', U'ك', U'中', U'ㄱ', U'Ⅷ', U'\u0345', U'𝒜'})
    EXPECT_TRUE(is_alphabetic(c)) << std::hex << static_cast<unsigned>(c);
  for (char32_t c : {U'0', U'_', U'-', U' ', U'٣', U'²', U'€', U'\u0301', U'\uFEFF', char32_t{0x10FFFF}})
    EXPECT_FALSE(is_alphabetic(c)) << std::hex << static_cast<unsigned>(c);
  // Numeric: Nd (decimal digits), Nl (letter numbers), No (other numbers).
  for (char32_t c : {U'7', U'٣', U'९', U'Ⅷ', U'²', U'½', U'①', U'𝟘'})
    EXPECT_TRUE(is_numeric(c)) << std::hex << static_cast<unsigned>(c);
  for (char32_t c : {U'a', U'_', U'.', U'中', U'ª'})
    EXPECT_FALSE(is_numeric(c)) << std::hex << static_cast<unsigned>(c);
  EXPECT_TRUE(is_ident_start(U'_'));
  EXPECT_FALSE(is_ident_start(U'٣'));
  EXPECT_TRUE(is_ident_continue(U'٣'));
  EXPECT_FALSE(is_ident_continue(U'-'));
}

}  // namespace
}  // namespace tuvax::detail
