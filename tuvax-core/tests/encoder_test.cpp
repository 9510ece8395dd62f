#include "tuvax/encoder.hpp"

#include <gtest/gtest.h>

#include <bit>  // std::bit_cast
#include <cstdint>
#include <string>
#include <vector>

#include "doc_framer.hpp"
#include "test_util.hpp"

namespace tuvax {
namespace {

using test::ByteVec;
using test::expect_error;
using test::hex;
using test::RawBlock;
using test::to_hex;

ByteVec finish(Encoder& enc) {
  auto r = std::move(enc).finish();
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : ByteVec{};
}

ByteVec encode_all(const std::vector<Value>& values, bool dedup = false) {
  Encoder enc;
  if (dedup) enc.enable_dedup();
  for (const Value& v : values) EXPECT_TRUE(enc.encode_value(v).has_value());
  return finish(enc);
}

// The blocks of an encoded document, trailer excluded. Framing them afresh
// must give back the same bytes, so every length, checksum and the trailer
// are checked on the way.
std::vector<RawBlock> split_blocks(const ByteVec& doc) {
  test::RawDocument raw = test::split_document(doc);
  EXPECT_EQ(to_hex(test::join_document(raw)), to_hex(doc));
  return std::move(raw.blocks);
}

// The Data block's payload of a document holding `values`.
std::string data_payload(const std::vector<Value>& values, bool dedup = false) {
  const auto blocks = split_blocks(encode_all(values, dedup));
  for (const auto& b : blocks)
    if (b.type == 0x01) return to_hex(b.payload);
  ADD_FAILURE() << "no Data block";
  return {};
}

Value nested_arrays(int depth) {
  Value v = Value::array();
  for (int i = 1; i < depth; ++i) {
    Array a;
    a.push_back(std::move(v));
    v = Value::array(std::move(a));
  }
  return v;
}

TEST(encoder_test, empty_document_is_header_and_trailer) {
  for (bool dedup : {false, true}) {
    const ByteVec doc = encode_all({}, dedup);
    ASSERT_EQ(doc.size(), 27u);
    const ByteVec header = hex("54 55 56 41 58 76 31 00");
    EXPECT_EQ(to_hex({doc.begin(), doc.begin() + 8}), to_hex(header));
    const std::uint64_t file_hash = xxh64(header);
    ByteVec hash_bytes;
    append_le64(file_hash, hash_bytes);
    ByteVec trailer = hex("ff 08 00");
    append_le64(xxh64(hash_bytes), trailer);
    trailer.insert(trailer.end(), hash_bytes.begin(), hash_bytes.end());
    EXPECT_EQ(to_hex({doc.begin() + 8, doc.end()}), to_hex(trailer));
  }
}

TEST(encoder_test, single_null_document) {
  const ByteVec doc = encode_all({Value::null()});
  ASSERT_EQ(doc.size(), 39u);
  EXPECT_EQ(to_hex({doc.begin() + 8, doc.begin() + 11}), "01 01 00");
  EXPECT_EQ(load_le64(doc.data() + 11), xxh64(hex("00")));
  EXPECT_EQ(doc[19], 0x00);
  EXPECT_EQ(doc[20], 0xFF);
  // The file hash covers every byte before the trailer.
  EXPECT_EQ(load_le64(doc.data() + 31), xxh64({doc.data(), 20}));
}

TEST(encoder_test, wire_bytes_of_each_kind) {
  struct Case {
    Value value;
    const char* bytes;
  };
  const std::vector<Case> cases = {
      {Value::null(), "00"},
      {Value::boolean(true), "01 01"},
      {Value::boolean(false), "01 00"},
      {Value::uint(300), "02 ac 02"},
      {Value::integer(-1), "03 01"},
      {Value::integer(1), "03 02"},
      {Value::real(1.0), "04 00 00 00 00 00 00 f0 3f"},
      {Value::str("hi"), "05 00 02 68 69"},
      {Value::str(""), "05 00 00"},
      {Value::bytes({0xFF}), "05 01 01 ff"},
      {Value::array(), "08 00 09"},
      {Value::array({Value::null(), Value::boolean(true)}), "08 02 00 01 01 09"},
      {Value::object({{"a", Value::uint(1)}}), "06 01 01 61 02 01 07"},
      {Value::object(), "06 00 07"},
      {Value::real(std::bit_cast<double>(std::uint64_t{0x7FF0000000000ABC})), "04 bc 0a 00 00 00 00 f0 7f"},
      {Value::real(-0.0), "04 00 00 00 00 00 00 00 80"},
      {Value::object({{"k", Value::uint(1)}, {"k", Value::uint(2)}}), "06 02 01 6b 02 01 01 6b 02 02 07"},
  };
  for (const Case& c : cases) EXPECT_EQ(data_payload({c.value}), to_hex(hex(c.bytes)));
}

TEST(encoder_test, top_level_values_are_concatenated) {
  EXPECT_EQ(data_payload({Value::integer(1), Value::uint(1)}), "03 02 02 01");
}

TEST(encoder_test, dedup_writes_references_and_a_sorted_front_coded_dictionary) {
  const Value v = Value::array({Value::str("b"), Value::str("a"), Value::str("b"), Value::str("ab")});
  const auto blocks = split_blocks(encode_all({v}, true));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].type, 0x04);
  EXPECT_EQ(to_hex(blocks[0].payload), to_hex(hex("03 01 00 01 61 02 01 01 62 00 00 01 62")));
  EXPECT_EQ(blocks[1].type, 0x01);
  EXPECT_EQ(to_hex(blocks[1].payload), to_hex(hex("08 04 05 00 01 62 05 00 01 61 0a 00 05 00 02 61 62 09")));

  const auto twice = split_blocks(encode_all({Value::str("x"), Value::str("x")}, true));
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(to_hex(twice[0].payload), "01 00 00 01 78");
  EXPECT_EQ(to_hex(twice[1].payload), "05 00 01 78 0a 00");
}

TEST(encoder_test, dictionary_prefixes_stop_at_character_boundaries) {
  // U+00E8 and U+00E9 share their lead byte C3 but no whole character.
  const auto blocks = split_blocks(encode_all({Value::str("\xC3\xA8"), Value::str("\xC3\xA9")}, true));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(to_hex(blocks[0].payload), "02 00 00 02 c3 a8 01 00 02 c3 a9");
  // Shared whole characters are still shared.
  const auto ok = split_blocks(encode_all({Value::str("x\xC3\xA8"), Value::str("x\xC3\xA9")}, true));
  EXPECT_EQ(to_hex(ok[0].payload), "02 00 00 03 78 c3 a8 01 01 02 c3 a9");
}

TEST(encoder_test, keys_bytes_and_strings_without_dedup_are_written_in_full) {
  EXPECT_EQ(data_payload({Value::str("x"), Value::str("x")}), "05 00 01 78 05 00 01 78");
  EXPECT_EQ(split_blocks(encode_all({Value::str("x"), Value::str("x")})).size(), 1u);
  // A key equal to a string value is never a reference, nor a reference target.
  EXPECT_EQ(data_payload({Value::object({{"x", Value::str("x")}}), Value::str("x")}, true),
            "06 01 01 78 05 00 01 78 07 0a 00");
  EXPECT_EQ(data_payload({Value::bytes({0x78}), Value::bytes({0x78})}, true), "05 01 01 78 05 01 01 78");
  // No strings, no dictionary.
  EXPECT_EQ(split_blocks(encode_all({Value::uint(1), Value::bytes({1})}, true)).size(), 1u);
}

TEST(encoder_test, dedup_enabled_midway_affects_only_later_strings) {
  Encoder enc;
  ASSERT_TRUE(enc.encode_value(Value::str("s")));
  enc.enable_dedup();
  ASSERT_TRUE(enc.encode_value(Value::str("s")));
  ASSERT_TRUE(enc.encode_value(Value::str("s")));
  const auto blocks = split_blocks(finish(enc));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(to_hex(blocks[0].payload), "01 00 00 01 73");
  EXPECT_EQ(to_hex(blocks[1].payload), "05 00 01 73 05 00 01 73 0a 00");
}

TEST(encoder_test, compression_setting_does_not_change_the_bytes) {
  const std::vector<Value> values = {Value::str("abc"), Value::array({Value::uint(7)})};
  const ByteVec plain = encode_all(values);
  for (Compression c : {Compression::Zstd, Compression::Snappy, Compression::Lz4}) {
    Encoder enc;
    enc.set_compression(c);
    EXPECT_EQ(enc.compression(), c);
    for (const Value& v : values) ASSERT_TRUE(enc.encode_value(v));
    EXPECT_EQ(finish(enc), plain);
  }
}

TEST(encoder_test, output_is_deterministic_under_dedup) {
  std::vector<Value> values;
  for (int i = 0; i < 500; ++i) values.push_back(Value::str("key" + std::to_string((i * 7919) % 311)));
  const ByteVec a = encode_all(values, true);
  const ByteVec b = encode_all(values, true);
  EXPECT_EQ(a, b);
  // The dictionary's entries come sorted by bytes, indices in first-seen order.
  const auto blocks = split_blocks(a);
  ASSERT_EQ(blocks[0].type, 0x04);
  EXPECT_EQ(blocks[0].payload[0], 0xB7);  // 311 entries: varint b7 02
  EXPECT_EQ(blocks[0].payload[1], 0x02);
}

TEST(encoder_test, depth_limit_at_its_edge) {
  Encoder enc;
  EXPECT_TRUE(enc.encode_value(nested_arrays(128)));
  expect_error(enc.encode_value(nested_arrays(129)), ErrorKind::NestingTooDeep,
               "Nesting depth 128 exceeds maximum 128");
  // Objects count towards the same depth.
  Value mixed = Value::array();
  for (int i = 1; i < 129; ++i) {
    if (i % 2) {
      Object o;
      o.push_back({"k", std::move(mixed)});
      mixed = Value::object(std::move(o));
    } else {
      Array a;
      a.push_back(std::move(mixed));
      mixed = Value::array(std::move(a));
    }
  }
  expect_error(enc.encode_value(mixed), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
  // Depth is back at 0 after the failure.
  EXPECT_TRUE(enc.encode_value(Value::array()));
  EXPECT_TRUE(enc.encode_value(nested_arrays(128)));
}

TEST(encoder_test, item_limit_at_its_edge) {
  Encoder enc;
  EXPECT_TRUE(enc.encode_value(Value::array(Array(1'000'000))));
  expect_error(enc.encode_value(Value::array(Array(1'000'001))), ErrorKind::TooManyItems,
               "Item count 1000001 exceeds maximum 1000000");
  Object big(1'000'001);
  expect_error(enc.encode_value(Value::object(std::move(big))), ErrorKind::TooManyItems,
               "Item count 1000001 exceeds maximum 1000000");
}

TEST(encoder_test, failed_value_leaves_no_bytes_behind) {
  // The failure sits deep inside, after members and strings were written.
  Value bad = Value::array({Value::uint(5), Value::str("lost"), Value::object({{"k", nested_arrays(128)}})});
  for (bool dedup : {false, true}) {
    Encoder enc;
    if (dedup) enc.enable_dedup();
    ASSERT_TRUE(enc.encode_value(Value::str("kept")));
    expect_error(enc.encode_value(bad), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
    ASSERT_TRUE(enc.encode_value(Value::str("lost")));
    ASSERT_TRUE(enc.encode_value(Value::str("kept")));
    EXPECT_EQ(finish(enc), encode_all({Value::str("kept"), Value::str("lost"), Value::str("kept")}, dedup))
        << "dedup " << dedup;
  }
  // A failure as the only value leaves an empty document.
  Encoder enc;
  EXPECT_FALSE(enc.encode_value(bad));
  EXPECT_EQ(finish(enc).size(), 27u);
}

}  // namespace
}  // namespace tuvax
