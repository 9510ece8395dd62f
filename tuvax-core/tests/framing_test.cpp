#include "tuvax/framing.hpp"

#include <gtest/gtest.h>

#include <algorithm>  // std::equal
#include <cstdint>
#include <span>
#include <vector>

#include "test_util.hpp"

namespace tuvax {
namespace {

using test::hex;
using test::to_hex;

std::vector<std::uint8_t> le64(std::uint64_t v) {
  std::vector<std::uint8_t> out;
  append_le64(v, out);
  return out;
}

TEST(header_test, xxh64_uses_seed_zero) {
  EXPECT_EQ(xxh64({}), 0xEF46DB3751D8E999ULL);
  const auto abc = hex("61 62 63");
  EXPECT_EQ(xxh64(abc), 0x44BC2CF5AD770999ULL);
}

TEST(header_test, fixed_width_integers_are_little_endian) {
  EXPECT_EQ(to_hex(le64(0x0102030405060708ULL)), "08 07 06 05 04 03 02 01");
  const auto bytes = hex("08 07 06 05 04 03 02 01");
  EXPECT_EQ(load_le64(bytes.data()), 0x0102030405060708ULL);
  EXPECT_EQ(load_le64(le64(~0ULL).data()), ~0ULL);
}

TEST(header_test, header_is_magic_and_reserved_zero) {
  std::vector<std::uint8_t> out;
  write_header(out);
  EXPECT_EQ(to_hex(out), "54 55 56 41 58 76 31 00");
  EXPECT_EQ(out.size(), header_size);
}

TEST(header_test, block_frames_type_length_compression_checksum_payload) {
  const auto payload = hex("00");
  std::vector<std::uint8_t> out = {0xEE};
  write_block(BlockType::Data, payload, out);
  ASSERT_EQ(out.size(), 1u + 12u);  // a leading byte, then 12 bytes of block
  EXPECT_EQ(to_hex({out.begin(), out.begin() + 4}), "ee 01 01 00");
  EXPECT_EQ(load_le64(out.data() + 4), xxh64(payload));
  EXPECT_EQ(out.back(), 0x00);

  // A 300-byte payload takes a two-byte length; the checksum covers the
  // payload alone, so it matches a bare hash of those bytes.
  const std::vector<std::uint8_t> big(300, 0x41);
  out.clear();
  write_block(BlockType::StringDict, big, out);
  ASSERT_EQ(out.size(), 1u + 2u + 1u + 8u + 300u);
  EXPECT_EQ(to_hex({out.begin(), out.begin() + 4}), "04 ac 02 00");
  EXPECT_EQ(load_le64(out.data() + 4), xxh64(big));

  out.clear();
  write_block(BlockType::Data, {}, out);
  EXPECT_EQ(to_hex(out), "01 00 00 " + to_hex(le64(0xEF46DB3751D8E999ULL)));
}

TEST(header_test, trailer_carries_hash_of_everything_before_it) {
  std::vector<std::uint8_t> header;
  write_header(header);
  const std::uint64_t file_hash = xxh64(header);
  std::vector<std::uint8_t> out(empty_document_size);
  const std::span<const std::uint8_t> pieces[] = {header};
  assemble_document(pieces, out);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), out.begin()));
  EXPECT_EQ(to_hex({out.begin() + 8, out.begin() + 11}), "ff 08 00");
  const std::span<const std::uint8_t> payload(out.data() + 19, 8);
  EXPECT_EQ(load_le64(out.data() + 11), xxh64(payload));
  EXPECT_EQ(load_le64(payload.data()), file_hash);
}

}  // namespace
}  // namespace tuvax
