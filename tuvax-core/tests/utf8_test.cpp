#include "tuvax/detail/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>  // std::size
#include <random>
#include <string>

namespace tuvax::detail {
namespace {

// The length of the well-formed multi-byte character that starts at s[0]
// (a byte of 0x80 or more), with `left` bytes available; 0 when it is not
// one: a stray continuation byte, an overlong form, a surrogate, a value
// above U+10FFFF or a cut sequence. The same verdicts as decode_utf8, from
// the lead byte's ranges alone, without assembling the character.
std::size_t multibyte_width(const std::uint8_t* s, std::size_t left) noexcept {
  const std::uint8_t b0 = s[0];
  const auto cont = [](std::uint8_t b) { return (b & 0xC0) == 0x80; };
  if (b0 < 0xC2) return 0;  // a continuation byte, or an overlong two-byte form
  if (b0 < 0xE0) return left >= 2 && cont(s[1]) ? 2 : 0;
  if (b0 < 0xF0) {
    if (left < 3 || !cont(s[1]) || !cont(s[2])) return 0;
    if (b0 == 0xE0 && s[1] < 0xA0) return 0;   // overlong
    if (b0 == 0xED && s[1] >= 0xA0) return 0;  // U+D800 to U+DFFF
    return 3;
  }
  if (b0 < 0xF5) {
    if (left < 4 || !cont(s[1]) || !cont(s[2]) || !cont(s[3])) return 0;
    if (b0 == 0xF0 && s[1] < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && s[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

// The same verdicts one character at a time, with no vector unit: the
// reference the vectorised validator is tested against.
bool is_valid_utf8_scalar(const std::uint8_t* s, std::size_t len) noexcept {
  for (std::size_t pos = 0; pos < len;) {
    if (s[pos] < 0x80) {
      ++pos;
      continue;
    }
    const std::size_t width = multibyte_width(s + pos, len - pos);
    if (width == 0) return false;
    pos += width;
  }
  return true;
}

// The scalar reference reads a character's verdict from its lead byte's ranges;
// the reference decoder assembles the code point. They must agree on every
// lead byte, every second byte and the telling values of the bytes after it,
// at every length the input may stop at.
TEST(utf8_test, fast_validator_agrees_with_the_decoder) {
  constexpr std::array<std::uint8_t, 7> tails = {0x00, 0x7F, 0x80, 0x8F, 0xBF, 0xC0, 0xFF};
  std::size_t checked = 0;
  for (int b0 = 0x80; b0 <= 0xFF; ++b0) {
    for (int b1 = 0; b1 <= 0xFF; ++b1) {
      for (const std::uint8_t b2 : tails) {
        for (const std::uint8_t b3 : tails) {
          const std::uint8_t s[4] = {static_cast<std::uint8_t>(b0), static_cast<std::uint8_t>(b1), b2, b3};
          for (std::size_t left = 1; left <= 4; ++left) {
            std::size_t width = 0;
            const bool valid = decode_utf8(s, left, 0, width) != invalid_char;
            ASSERT_EQ(multibyte_width(s, left), valid ? width : 0)
                << std::hex << b0 << ' ' << b1 << ' ' << int{b2} << ' ' << int{b3} << " left " << left;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_EQ(checked, 128u * 256 * tails.size() * tails.size() * 4);
}

// check_utf8 classifies whole strings: ASCII at any alignment of the
// word-at-a-time paths, a multi-byte character at any position, and a bad
// byte anywhere is found; the bytes after the string (all non-ASCII here)
// never count.
TEST(utf8_test, classifies_strings_at_every_position) {
  for (std::size_t len = 0; len <= 40; ++len) {
    std::array<std::uint8_t, 48> s{};
    s.fill(0xFF);
    std::fill_n(s.begin(), len, 'a');
    EXPECT_EQ(check_utf8(s.data(), len), Utf8Check::ascii) << len;
    for (std::size_t at = 0; at < len; ++at) {
      auto t = s;
      t[at] = 0x80;  // a stray continuation byte
      EXPECT_EQ(check_utf8(t.data(), len), Utf8Check::invalid) << len << ' ' << at;
      if (at + 2 > len) continue;
      t[at] = 0xC3, t[at + 1] = 0xA9;  // é
      EXPECT_EQ(check_utf8(t.data(), len), Utf8Check::multibyte) << len << ' ' << at;
      t[at + 1] = 'a';  // a lead byte with no continuation
      EXPECT_EQ(check_utf8(t.data(), len), Utf8Check::invalid) << len << ' ' << at;
    }
  }
}

}  // namespace
}  // namespace tuvax::detail

namespace tuvax::detail {
namespace {

// The vectorised validator against the scalar one, on text that mixes every
// character width and then has single bytes changed: well-formed and broken
// input alike must get the same verdict.
TEST(utf8_test, vectorised_validator_agrees_with_the_scalar_one) {
  std::mt19937 rng(20261208);
  const char* pieces[] = {"a", "Zz09 ", "\xc3\xa9", "\xd0\xba", "\xe3\x81\x82", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    const std::size_t parts = rng() % 80;
    for (std::size_t i = 0; i < parts; ++i) s += pieces[rng() % std::size(pieces)];
    if (round % 2 == 1 && !s.empty()) s[rng() % s.size()] = static_cast<char>(rng());
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    ASSERT_EQ(is_valid_utf8_simd(p, s.size()), is_valid_utf8_scalar(p, s.size())) << "seed round " << round;
  }
}

}  // namespace
}  // namespace tuvax::detail
