#include "tuvax/varint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "test_util.hpp"

namespace tuvax {
namespace {

using test::expect_error;
using test::hex;
using test::to_hex;

std::vector<std::uint8_t> encoded(std::uint64_t v) {
  std::vector<std::uint8_t> out;
  encode_varint_vec(v, out);
  return out;
}

TEST(varint_test, writes_shortest_form_at_every_length_boundary) {
  struct Case {
    std::uint64_t value;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {127, "7f"},
      {128, "80 01"},
      {300, "ac 02"},
      {16383, "ff 7f"},
      {16384, "80 80 01"},
      {0x4000000, "80 80 80 20"},
      {(std::uint64_t{1} << 63) - 1, "ff ff ff ff ff ff ff ff 7f"},
      {std::uint64_t{1} << 63, "80 80 80 80 80 80 80 80 80 01"},
      {std::numeric_limits<std::uint64_t>::max(), "ff ff ff ff ff ff ff ff ff 01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_hex(encoded(c.value)), to_hex(hex(c.bytes))) << c.value;
    const auto bytes = hex(c.bytes);
    auto r = decode_varint(bytes.data(), bytes.size(), 0);
    ASSERT_TRUE(r) << c.value;
    EXPECT_EQ(r->value, c.value);
    EXPECT_EQ(r->consumed, bytes.size());
  }
  // Each of the ten lengths starts at 2^(7k).
  for (int k = 1; k < 10; ++k) {
    EXPECT_EQ(encoded((std::uint64_t{1} << (7 * k)) - 1).size(), static_cast<std::size_t>(k));
    EXPECT_EQ(encoded(std::uint64_t{1} << (7 * k)).size(), static_cast<std::size_t>(k + 1));
  }
}

TEST(varint_test, appends_without_touching_existing_bytes) {
  std::vector<std::uint8_t> out = {0xAA};
  encode_varint_vec(300, out);
  EXPECT_EQ(to_hex(out), "aa ac 02");
}

TEST(varint_test, zigzag_maps_signed_to_unsigned) {
  struct Case {
    std::int64_t n;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},   {-1, "01"}, {1, "02"},     {-2, "03"}, {2, "04"},
      {63, "7e"},  {-64, "7f"}, {-65, "81 01"},
      {std::numeric_limits<std::int64_t>::max(), "fe ff ff ff ff ff ff ff ff 01"},
      {std::numeric_limits<std::int64_t>::min(), "ff ff ff ff ff ff ff ff ff 01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_hex(encoded(zigzag_encode(c.n))), to_hex(hex(c.bytes))) << c.n;
    EXPECT_EQ(zigzag_decode(zigzag_encode(c.n)), c.n);
  }
}

TEST(varint_test, reports_the_end_it_ran_into) {
  const auto one = hex("80");
  expect_error(decode_varint(one.data(), one.size(), 0), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 1");
  // Nothing readable at pos: the offset is pos itself.
  const auto two = hex("01 02");
  expect_error(decode_varint(two.data(), two.size(), 2), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 2");
  // `len` bounds the read even when the buffer holds more.
  const auto longer = hex("00 80 80 01");
  expect_error(decode_varint(longer.data(), 3, 1), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 3");
  const auto nine = hex("ff ff ff ff ff ff ff ff ff");
  expect_error(decode_varint(nine.data(), nine.size(), 0), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 9");
}

TEST(varint_test, rejects_tenth_byte_above_one) {
  for (const char* in : {"ff ff ff ff ff ff ff ff ff 02", "ff ff ff ff ff ff ff ff ff 81",
                         "80 80 80 80 80 80 80 80 80 80 01"}) {
    //                                              ^ tenth byte: only 00 or 01 allowed
    const auto bytes = hex(in);
    expect_error(decode_varint(bytes.data(), bytes.size(), 0), ErrorKind::VarintOverflow,
                 "Varint overflow: encoded integer exceeds 64 bits");
  }
}

TEST(varint_test, accepts_non_shortest_forms) {
  const auto zero = hex("80 00");
  auto r = decode_varint(zero.data(), zero.size(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, 0u);
  EXPECT_EQ(r->consumed, 2u);
  const auto ten = hex("80 80 80 80 80 80 80 80 80 00 ff");
  r = decode_varint(ten.data(), ten.size(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, 0u);
  EXPECT_EQ(r->consumed, 10u);
}

TEST(varint_test, decodes_from_an_offset) {
  const auto bytes = hex("ff ac 02 07");
  auto r = decode_varint(bytes.data(), bytes.size(), 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, 300u);
  EXPECT_EQ(r->consumed, 2u);
}

}  // namespace
}  // namespace tuvax
