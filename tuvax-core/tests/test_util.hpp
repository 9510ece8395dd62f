#ifndef TUVAX_TEST_UTIL_HPP
#define TUVAX_TEST_UTIL_HPP

// Helpers shared by the core test files: byte strings written as hex, and one
// check of an error's kind together with its whole message.

#include <gtest/gtest.h>

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/encoder.hpp"
#include "tuvax/error.hpp"
#include "tuvax/value.hpp"

namespace tuvax::test {

// "05 00 02 68 69" -> {0x05, 0x00, 0x02, 0x68, 0x69}. Spaces and commas are
// separators; anything else that is not a hex digit is a bug in the test.
inline std::vector<std::uint8_t> hex(std::string_view text) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : text) {
    int nibble;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      nibble = c - 'A' + 10;
    } else {
      EXPECT_TRUE(c == ' ' || c == ',' || c == '\n') << "bad hex character '" << c << "'";
      EXPECT_EQ(high, -1) << "odd number of hex digits before a separator";
      high = -1;
      continue;
    }
    if (high < 0) {
      high = nibble;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  EXPECT_EQ(high, -1) << "odd number of hex digits at the end";
  return out;
}

// {0x05, 0xab} -> "05 ab", for readable failure output.
inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0xF];
  }
  return out;
}

// Expects `r` to hold an error of `kind` whose message is exactly `message`.
template <typename T>
void expect_error(const Result<T>& r, ErrorKind kind, std::string_view message,
                  std::source_location loc = std::source_location::current()) {
  ::testing::ScopedTrace trace(loc.file_name(), static_cast<int>(loc.line()), "expect_error");
  ASSERT_FALSE(r.has_value()) << "expected the error \"" << message << "\", got success";
  EXPECT_EQ(static_cast<int>(r.error().kind()), static_cast<int>(kind)) << r.error().message();
  EXPECT_EQ(r.error().message(), message);
}

// The document an encoder writes for `values`, each of which it must accept.
inline std::vector<std::uint8_t> encode_all(const std::vector<Value>& values, bool dedup = false) {
  Encoder enc;
  if (dedup) enc.enable_dedup();
  for (const Value& v : values) EXPECT_TRUE(enc.encode_value(v).has_value());
  auto r = std::move(enc).finish();
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : std::vector<std::uint8_t>{};
}

}  // namespace tuvax::test

#endif  // TUVAX_TEST_UTIL_HPP
