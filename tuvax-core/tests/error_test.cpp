#include "tuvax/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tuvax {
namespace {

// One entry per kind, in declaration order, so adding a kind without a
// message (or reordering them) fails here.
TEST(error_test, every_kind_has_its_exact_text) {
  struct Case {
    TuvaxError error;
    ErrorKind kind;
    std::string text;
  };
  const std::vector<Case> cases = {
      {TuvaxError::io(ENOENT), ErrorKind::Io, std::string("I/O error: ") + std::strerror(ENOENT)},
      {TuvaxError::invalid_magic(), ErrorKind::InvalidMagic, "Invalid magic bytes in file header: expected TUVAXv1"},
      {TuvaxError::unsupported_version(2), ErrorKind::UnsupportedVersion, "Unsupported format version: 2"},
      {TuvaxError::invalid_wire_type(0x0B), ErrorKind::InvalidWireType, "Invalid wire type tag: 0x0b"},
      {TuvaxError::varint_overflow(), ErrorKind::VarintOverflow, "Varint overflow: encoded integer exceeds 64 bits"},
      {TuvaxError::unexpected_eof(0), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 0"},
      {TuvaxError::checksum_mismatch(1, 0xABCDEF), ErrorKind::ChecksumMismatch,
       "Checksum mismatch: expected 0x0000000000000001, got 0x0000000000abcdef"},
      {TuvaxError::invalid_utf8(12), ErrorKind::InvalidUtf8, "Invalid UTF-8 in string field at offset 12"},
      {TuvaxError::nesting_too_deep(128, 128), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128"},
      {TuvaxError::block_too_large(67108865, 67108864), ErrorKind::BlockTooLarge,
       "Block size 67108865 exceeds maximum 67108864"},
      {TuvaxError::too_many_items(1000001, 1000000), ErrorKind::TooManyItems,
       "Item count 1000001 exceeds maximum 1000000"},
      {TuvaxError::unknown_compression(4), ErrorKind::UnknownCompression, "Unknown compression type: 4"},
      {TuvaxError::decompression("zstd decompression not available (enable 'zstd' feature)"),
       ErrorKind::Decompression, "Decompression error: zstd decompression not available (enable 'zstd' feature)"},
      {TuvaxError::invalid_block_type(0x07), ErrorKind::InvalidBlockType, "Invalid block type: 7"},
      {TuvaxError::text_parse(3, 14, "unexpected end of input"), ErrorKind::TextParse,
       "Text parse error at line 3, col 14: unexpected end of input"},
      {TuvaxError::schema_mismatch("x"), ErrorKind::SchemaMismatch, "Schema mismatch: x"},
      {TuvaxError::memory_limit_exceeded(16777217, 16777216), ErrorKind::MemoryLimitExceeded,
       "Memory limit exceeded: requested 16777217 bytes, limit 16777216"},
      {TuvaxError::invalid_base64("bad padding"), ErrorKind::InvalidBase64, "Invalid base64 data: bad padding"},
      {TuvaxError::invalid_data("StrRef index 3 >= table size 3"), ErrorKind::InvalidData,
       "Invalid data: StrRef index 3 >= table size 3"},
  };
  ASSERT_EQ(cases.size(), static_cast<std::size_t>(error_kind_count));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].error.kind()), i);
    EXPECT_EQ(cases[i].error.kind(), cases[i].kind);
    EXPECT_EQ(cases[i].error.message(), cases[i].text);
  }
}

TEST(error_test, numbers_print_plain_except_tags_and_checksums) {
  EXPECT_EQ(TuvaxError::invalid_wire_type(0xFF).message(), "Invalid wire type tag: 0xff");
  EXPECT_EQ(TuvaxError::invalid_wire_type(0x05).message(), "Invalid wire type tag: 0x05");
  EXPECT_EQ(TuvaxError::invalid_block_type(0xFE).message(), "Invalid block type: 254");
  EXPECT_EQ(TuvaxError::unknown_compression(255).message(), "Unknown compression type: 255");
  EXPECT_EQ(TuvaxError::checksum_mismatch(~0ULL, 0).message(),
            "Checksum mismatch: expected 0xffffffffffffffff, got 0x0000000000000000");
  EXPECT_EQ(TuvaxError::unexpected_eof(18446744073709551615ULL).message(),
            "Unexpected end of input at offset 18446744073709551615");
}

TEST(error_test, fields_are_kept) {
  const auto e = TuvaxError::checksum_mismatch(7, 9);
  EXPECT_EQ(e.first(), 7u);
  EXPECT_EQ(e.second(), 9u);
  EXPECT_EQ(TuvaxError::invalid_data("m").text(), "m");
  EXPECT_EQ(TuvaxError::unexpected_eof(3), TuvaxError::unexpected_eof(3));
  EXPECT_NE(TuvaxError::unexpected_eof(3), TuvaxError::unexpected_eof(4));
}

}  // namespace
}  // namespace tuvax
