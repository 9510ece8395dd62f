#include "base64.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tuvax::detail {
namespace {

std::string encode(std::string_view bytes) {
  std::string out = "prefix:";  // encoding appends
  base64_encode({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, out);
  return out.substr(7);
}

TEST(base64_test, encodes_with_padding) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg==");
  EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encode("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(base64_encoded_size(SIZE_MAX), 0u);
}

TEST(base64_test, decodes_what_it_encodes) {
  std::mt19937 rng(7);
  for (std::size_t len = 0; len < 200; ++len) {
    std::vector<std::uint8_t> bytes(len);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    std::string text;
    base64_encode(bytes, text);
    const auto back = base64_decode(text);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, bytes) << text;
  }
}

TEST(base64_test, rejects_non_canonical_input_with_its_description) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      // Bytes outside the alphabet, the first one named by value and offset.
      {"AQ ID", "Invalid symbol 32, offset 2."},
      {"A\xC3\xA9" "A", "Invalid symbol 195, offset 1."},
      {"AQID-_==", "Invalid symbol 45, offset 4."},
      {"?", "Invalid symbol 63, offset 0."},
      // '=' anywhere but the tail of the final group.
      {"=", "Invalid symbol 61, offset 0."},
      {"A===", "Invalid symbol 61, offset 1."},
      {"AQ=A", "Invalid symbol 61, offset 2."},
      {"AQ==AQ==", "Invalid symbol 61, offset 2."},
      {"AQID====", "Invalid symbol 61, offset 4."},
      {"AQ===", "Invalid symbol 61, offset 2."},
      {"AQIDA=", "Invalid symbol 61, offset 5."},
      // A final group of one symbol.
      {"A", "Invalid input length: 1"},
      {"AQIDA", "Invalid input length: 5"},
      // Missing padding.
      {"AQ", "Invalid padding"},
      {"AQ=", "Invalid padding"},
      {"AQI", "Invalid padding"},
      {"AQIDAQI", "Invalid padding"},
      // Bits of the last symbol that no decoded byte holds.
      {"AR==", "Invalid last symbol 82, offset 1."},
      {"AQJ=", "Invalid last symbol 74, offset 2."},
      {"AQIDAB==", "Invalid last symbol 66, offset 5."},
  };
  for (const auto& [text, description] : cases) {
    const auto r = base64_decode(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error(), description) << text;
  }
  EXPECT_EQ(base64_decode("").value(), std::vector<std::uint8_t>{});
  EXPECT_EQ(base64_decode("AQI=").value(), (std::vector<std::uint8_t>{1, 2}));
}

}  // namespace
}  // namespace tuvax::detail
