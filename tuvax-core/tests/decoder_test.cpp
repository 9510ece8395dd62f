#include "tuvax/decoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>  // std::max
#include <bit>        // std::bit_cast
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "doc_framer.hpp"
#include "test_util.hpp"
#include "tuvax/encoder.hpp"

namespace tuvax {
namespace {

using test::append_block;
using test::ByteVec;
using test::data_doc;
using test::document;
using test::encode_all;
using test::expect_error;
using test::hex;
using test::RawBlock;
using test::write_trailer;

constexpr std::uint8_t data_block = 0x01;
constexpr std::uint8_t dict_block = 0x04;

Result<std::vector<Value>> decode(const ByteVec& bytes) { return Decoder(bytes).decode_all_owned(); }

std::vector<Value> decode_ok(const ByteVec& bytes) {
  auto r = decode(bytes);
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r ? std::move(*r) : std::vector<Value>{};
}

std::vector<Value> strs(std::initializer_list<const char*> texts) {
  std::vector<Value> out;
  for (const char* t : texts) out.push_back(Value::str(t));
  return out;
}

// A value touching every kind, duplicate keys, empties, repeated strings.
std::vector<Value> sample_values() {
  Object o;
  o.push_back({"name", Value::str("tuvax")});
  o.push_back({"name", Value::str("again")});
  o.push_back({"", Value::array()});
  o.push_back({"n", Value::array({Value::uint(0), Value::integer(0), Value::integer(-7),
                                  Value::uint(~0ULL), Value::real(-0.0),
                                  Value::real(std::bit_cast<double>(std::uint64_t{0x7FF80000DEADBEEF}))})});
  o.push_back({"b", Value::bytes({0x00, 0xFF})});
  o.push_back({"e", Value::object()});
  return {Value::object(std::move(o)), Value::str("tuvax"), Value::str(""), Value::bytes({}),
          Value::boolean(false), Value::null(), Value::str("caf\xC3\xA9")};
}

// ---- Round trips ----

TEST(decoder_test, round_trips_every_kind_with_and_without_dedup) {
  const auto values = sample_values();
  for (bool dedup : {false, true}) EXPECT_EQ(decode_ok(encode_all(values, dedup)), values) << dedup;
  EXPECT_TRUE(decode_ok(encode_all({}, false)).empty());
}

TEST(decoder_test, streams_values_then_reports_the_end) {
  const ByteVec doc = encode_all({Value::uint(1), Value::uint(2)}, false);
  Decoder dec(doc);
  auto a = dec.decode_next_owned();
  ASSERT_TRUE(a && *a);
  EXPECT_EQ(**a, Value::uint(1));
  auto b = dec.decode_next_owned();
  ASSERT_TRUE(b && *b);
  EXPECT_EQ(**b, Value::uint(2));
  for (int i = 0; i < 2; ++i) {
    auto end = dec.decode_next_owned();
    ASSERT_TRUE(end.has_value());
    EXPECT_FALSE(end->has_value());
  }
}

TEST(decoder_test, an_error_is_returned_again_on_later_calls) {
  const ByteVec doc = data_doc(hex("0b"));
  Decoder dec(doc);
  expect_error(dec.decode_next_owned(), ErrorKind::InvalidWireType, "Invalid wire type tag: 0x0b");
  expect_error(dec.decode_next_owned(), ErrorKind::InvalidWireType, "Invalid wire type tag: 0x0b");
}

// ---- Header and trailer ----

TEST(decoder_test, short_or_foreign_input_fails) {
  expect_error(decode({}), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 0");
  const ByteVec header = hex("54 55 56 41 58 76 31 00");
  for (std::size_t n = 1; n < 8; ++n)
    expect_error(decode(ByteVec(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(n))),
                 ErrorKind::UnexpectedEof, "Unexpected end of input at offset " + std::to_string(n));
  expect_error(decode(hex("54 55 56 41 58 76 32 00")), ErrorKind::InvalidMagic,
               "Invalid magic bytes in file header: expected TUVAXv1");
  // A header alone has no trailer: the document is cut short.
  expect_error(decode(header), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 8");
  // So is one that ends right after a complete block.
  expect_error(decode(document({{data_block, hex("00")}}, false)), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 20");
}

TEST(decoder_test, reserved_header_byte_is_accepted) {
  ByteVec doc;
  write_header(doc);
  doc[7] = 0x5A;
  append_block({data_block, hex("02 05")}, doc);
  write_trailer(doc);
  EXPECT_EQ(decode_ok(doc), std::vector<Value>{Value::uint(5)});
}

TEST(decoder_test, trailer_checks_in_order) {
  const ByteVec good = data_doc(hex("00"));  // the trailer starts at offset 20
  const std::size_t t = 20;
  ASSERT_EQ(good.size(), t + 19);
  ASSERT_EQ(good[t], 0xFF);
  // Fewer than 19 bytes from the trailer's type byte.
  for (std::size_t cut = t + 1; cut < good.size(); ++cut)
    expect_error(decode(ByteVec(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))),
                 ErrorKind::UnexpectedEof, "Unexpected end of input at offset " + std::to_string(cut));
  // Length or compression wrong, even with the checksums also wrong.
  for (std::size_t at : {t + 1, t + 2}) {
    ByteVec bad = good;
    bad[at] ^= 0x10;
    bad[t + 3] ^= 0x01;
    expect_error(decode(bad), ErrorKind::InvalidData, "Invalid data: Malformed trailer block");
  }
  // Checksum of the trailer's payload before the file hash itself.
  ByteVec bad_checksum = good;
  bad_checksum[t + 3] ^= 0x01;
  bad_checksum[7] = 0x01;  // the file hash is now wrong too
  const std::uint64_t stored = load_le64(bad_checksum.data() + t + 3);
  const std::uint64_t computed = xxh64({bad_checksum.data() + t + 11, 8});
  expect_error(decode(bad_checksum), ErrorKind::ChecksumMismatch,
               std::format("Checksum mismatch: expected 0x{:016x}, got 0x{:016x}", stored, computed));
  // A file hash that does not match the bytes before the trailer.
  ByteVec edited = good;
  edited[7] = 0x01;  // the reserved byte is covered by the file hash
  expect_error(decode(edited), ErrorKind::ChecksumMismatch,
               std::format("Checksum mismatch: expected 0x{:016x}, got 0x{:016x}", load_le64(good.data() + t + 11),
                           xxh64({edited.data(), t})));
}

TEST(decoder_test, nothing_after_the_trailer_is_read) {
  ByteVec doc = data_doc(hex("02 05"));
  for (std::uint8_t b : hex("ff ff 00 07 13")) doc.push_back(b);
  EXPECT_EQ(decode_ok(doc), std::vector<Value>{Value::uint(5)});
  // A header followed directly by a trailer is an empty document.
  EXPECT_TRUE(decode_ok(document({})).empty());
}

// ---- Block framing ----

TEST(decoder_test, block_header_errors) {
  expect_error(decode(document({{0x00, {}}})), ErrorKind::InvalidBlockType, "Invalid block type: 0");
  expect_error(decode(document({{0x05, {}}})), ErrorKind::InvalidBlockType, "Invalid block type: 5");
  expect_error(decode(document({{data_block, {}, 4}})), ErrorKind::UnknownCompression, "Unknown compression type: 4");

  ByteVec doc = document({}, false);
  doc.push_back(data_block);
  expect_error(decode(doc), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 9");  // length varint
  for (std::uint8_t b : hex("80 80 80 20")) doc.push_back(b);  // 64 MiB: allowed
  expect_error(decode(doc), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 13");  // compression
  doc.push_back(0x00);
  doc.push_back(0xAA);
  //   ^ checksum field starts at offset 14
  expect_error(decode(doc), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 14");
  for (int i = 0; i < 7; ++i) doc.push_back(0xAA);
  doc.push_back(0x00);
  // Payload end: 22 + 64 MiB.
  expect_error(decode(doc), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 67108886");

  ByteVec too_large = document({}, false);
  for (std::uint8_t b : hex("01 81 80 80 20 00")) too_large.push_back(b);
  expect_error(decode(too_large), ErrorKind::BlockTooLarge, "Block size 67108865 exceeds maximum 67108864");
  ByteVec overflow = document({}, false);
  for (std::uint8_t b : hex("01 ff ff ff ff ff ff ff ff ff 02")) overflow.push_back(b);
  expect_error(decode(overflow), ErrorKind::VarintOverflow, "Varint overflow: encoded integer exceeds 64 bits");
}

TEST(decoder_test, checksums_are_verified_per_block) {
  ByteVec doc = data_doc(hex("02 05"));
  const std::uint64_t stored = load_le64(doc.data() + 11);
  doc[20] = 0x06;  // payload 02 06; the trailer is not reached first
  expect_error(decode(doc), ErrorKind::ChecksumMismatch,
               std::format("Checksum mismatch: expected 0x{:016x}, got 0x{:016x}", stored, xxh64(hex("02 06"))));
}

TEST(decoder_test, reserved_blocks_are_verified_and_skipped) {
  EXPECT_EQ(decode_ok(document({{0x02, hex("ff ff")}, {data_block, hex("00")}, {0x03, hex("0b")}})),
            std::vector<Value>{Value::null()});
  ByteVec doc = document({{0x03, hex("ff")}});
  doc[19] = 0xFE;
  EXPECT_EQ(decode(doc).error().kind(), ErrorKind::ChecksumMismatch);
}

TEST(decoder_test, compressed_blocks_are_refused) {
  // The checksum is not consulted: the bad one here does not matter.
  ByteVec zstd = document({{data_block, hex("05 00"), 1}});
  zstd[12] ^= 0xFF;
  expect_error(decode(zstd), ErrorKind::Decompression,
               "Decompression error: zstd decompression not available (enable 'zstd' feature)");
  expect_error(decode(document({{0x02, hex("05"), 2}})), ErrorKind::Decompression,
               "Decompression error: snappy decompression not available (enable 'snappy' feature)");
  expect_error(decode(document({{0x03, hex("05"), 3}})), ErrorKind::Decompression,
               "Decompression error: lz4 decompression not available (enable 'lz4' feature)");
  expect_error(decode(document({{data_block, hex("81 80 80 20"), 1}})), ErrorKind::BlockTooLarge,
               "Block size 67108865 exceeds maximum 67108864");
  // An empty payload has no declared size: cut short at the payload start.
  expect_error(decode(document({{data_block, {}, 1}})), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 19");
  // A size varint is bounded by its payload.
  expect_error(decode(document({{data_block, hex("80"), 1}})), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 20");
}

// ---- Values ----

TEST(decoder_test, values_follow_one_another_in_a_block) {
  EXPECT_EQ(decode_ok(data_doc(hex("02 05 05 00 01 61 0a 00"))),
            (std::vector<Value>{Value::uint(5), Value::str("a"), Value::str("a")}));
  EXPECT_EQ(decode_ok(document({{data_block, {}}, {data_block, hex("00 01 00")}, {data_block, {}}})),
            (std::vector<Value>{Value::null(), Value::boolean(false)}));
}

TEST(decoder_test, tolerated_forms) {
  // High nibble ignored, any nonzero bool byte true, any nonzero subtype bytes.
  EXPECT_EQ(decode_ok(data_doc(hex("25 00 01 61 f0 01 02 05 05 01 78"))),
            (std::vector<Value>{Value::str("a"), Value::null(), Value::boolean(true), Value::bytes({0x78})}));
  // End tags are optional.
  const std::vector<Value> expected = {Value::array({Value::uint(1)}), Value::object({{"a", Value::null()}})};
  EXPECT_EQ(decode_ok(data_doc(hex("08 01 02 01 09 06 01 01 61 00 07"))), expected);
  EXPECT_EQ(decode_ok(data_doc(hex("08 01 02 01 06 01 01 61 00"))), expected);
  // An end tag is only taken as the whole byte: 19 is the next value's tag.
  expect_error(decode(data_doc(hex("08 00 19"))), ErrorKind::InvalidWireType, "Invalid wire type tag: 0x19");
}

TEST(decoder_test, invalid_wire_types) {
  for (const char* tag : {"0b", "07", "09", "ff", "1f"}) {
    const ByteVec payload = hex(tag);
    expect_error(decode(data_doc(payload)), ErrorKind::InvalidWireType,
                 std::string("Invalid wire type tag: 0x") + tag);
  }
}

TEST(decoder_test, values_never_run_past_their_block) {
  struct Case {
    const char* payload;
    const char* message;
  };
  // Each payload is the first of two Data blocks; the block starts at offset
  // 19, so its end is 19 + payload length.
  const Case cases[] = {
      {"02 80", "Unexpected end of input at offset 21"},        // varint cut at the block end
      {"01", "Unexpected end of input at offset 20"},           // bool byte
      {"04 00 00 00", "Unexpected end of input at offset 20"},  // float: first of its bytes
      {"05", "Unexpected end of input at offset 20"},           // subtype byte
      {"05 00", "Unexpected end of input at offset 21"},        // length varint
      {"05 00 03 61", "Unexpected end of input at offset 25"},  // content end
      {"08 03 00 00", "Unexpected end of input at offset 23"},  // elements missing
      {"06 01 05 61", "Unexpected end of input at offset 27"},  // key end
      {"06 01 01 61", "Unexpected end of input at offset 23"},  // value missing
      {"0a", "Unexpected end of input at offset 20"},           // reference index
  };
  for (const Case& c : cases) {
    expect_error(decode(document({{data_block, hex(c.payload)}, {data_block, hex("00 00 00 00 00 00")}})),
                 ErrorKind::UnexpectedEof, c.message);
  }
}

TEST(decoder_test, strings_and_keys_must_be_utf8) {
  // Offsets: the payload starts at 19.
  expect_error(decode(data_doc(hex("05 00 02 c3 28"))), ErrorKind::InvalidUtf8,
               "Invalid UTF-8 in string field at offset 22");
  expect_error(decode(data_doc(hex("00 06 01 02 ed a0 00"))), ErrorKind::InvalidUtf8,
               "Invalid UTF-8 in string field at offset 23");
  // Bytes carry anything.
  EXPECT_EQ(decode_ok(data_doc(hex("05 01 02 c3 28"))), std::vector<Value>{Value::bytes({0xC3, 0x28})});
}

// ---- String table ----

TEST(decoder_test, dictionary_loads_front_coded_entries) {
  const ByteVec dict = hex("02 01 00 05 61 70 70 6c 65 00 03 01 79");
  EXPECT_EQ(decode_ok(document({{dict_block, dict}, {data_block, hex("0a 00 0a 01")}})), strs({"appy", "apple"}));
  // Read as stored whatever its compression byte says.
  EXPECT_EQ(decode_ok(document({{dict_block, dict, 2}, {data_block, hex("0a 00 0a 01")}})), strs({"appy", "apple"}));
  // Inline strings after a dictionary of N entries take index N onwards.
  EXPECT_EQ(decode_ok(document({{dict_block, dict}, {data_block, hex("05 00 01 7a 0a 02 0a 01")}})),
            strs({"z", "z", "apple"}));
  // The kept prefix stops at a character boundary of the previous entry and
  // at its length; bytes after the last entry are ignored.
  EXPECT_EQ(decode_ok(document({{dict_block, hex("02 00 00 03 78 c3 a9 01 02 01 79 ff ff")},
                                {data_block, hex("0a 00 0a 01")}})),
            strs({"x\xC3\xA9", "xy"}));
  EXPECT_EQ(decode_ok(document({{dict_block, hex("02 00 00 01 61 01 09 01 62")}, {data_block, hex("0a 01")}})),
            strs({"ab"}));
}

TEST(decoder_test, dictionary_table_shape) {
  // Zero entries leave one empty string.
  EXPECT_EQ(decode_ok(document({{dict_block, hex("00")}, {data_block, hex("0a 00")}})), strs({""}));
  // A repeated index: the later entry wins; an index no entry names is empty.
  EXPECT_EQ(decode_ok(document({{dict_block, hex("03 02 00 01 61 02 00 01 62 00 00 01 63")},
                                {data_block, hex("0a 02 0a 01 0a 00")}})),
            strs({"b", "", "c"}));
}

TEST(decoder_test, dictionary_serves_exactly_the_next_data_block) {
  const RawBlock dict{dict_block, hex("01 00 00 01 78")};
  const RawBlock use{data_block, hex("0a 00")};
  EXPECT_EQ(decode_ok(document({dict, {0x02, {}}, {0x03, {}}, use})), strs({"x"}));
  // A second dictionary replaces the first.
  EXPECT_EQ(decode_ok(document({dict, {dict_block, hex("01 00 00 01 79")}, use})), strs({"y"}));
  expect_error(decode(document({dict, use, use})), ErrorKind::InvalidData, "Invalid data: StrRef index 0 >= table size 0");
  // Inline strings do not outlive their block either.
  expect_error(decode(document({{data_block, hex("05 00 01 61")}, use})), ErrorKind::InvalidData,
               "Invalid data: StrRef index 0 >= table size 0");
}

TEST(decoder_test, reference_outside_the_table_is_an_error) {
  expect_error(decode(data_doc(hex("0a 00"))), ErrorKind::InvalidData, "Invalid data: StrRef index 0 >= table size 0");
  expect_error(decode(data_doc(hex("05 00 00 05 00 00 05 00 00 0a 03"))), ErrorKind::InvalidData,
               "Invalid data: StrRef index 3 >= table size 3");
  expect_error(decode(data_doc(hex("0a ff ff ff ff ff ff ff ff ff 01"))), ErrorKind::InvalidData,
               "Invalid data: StrRef index 18446744073709551615 >= table size 0");
}

TEST(decoder_test, dictionary_errors) {
  auto with_dict = [](const char* payload) {
    return decode(document({{dict_block, hex(payload)}, {data_block, hex("00")}}));
  };
  expect_error(with_dict("02 02 00 01 61"), ErrorKind::InvalidData,
               "Invalid data: StringDict entry has original_idx 2 >= count 2");
  expect_error(with_dict("c1 84 3d"), ErrorKind::TooManyItems, "Item count 1000001 exceeds maximum 1000000");
  // Offsets count from the payload start.
  expect_error(with_dict("01 00 00 05 61 62"), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 4");
  expect_error(with_dict("01 00 00 ff ff ff ff ff ff ff ff ff 01"), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 13");
  expect_error(with_dict("02 00 00 01 61 01"), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 6");
  expect_error(with_dict("01 00 00 02 c3 28"), ErrorKind::InvalidUtf8, "Invalid UTF-8 in string field at offset 6");
  // A suffix that splits a character is invalid on its own.
  expect_error(with_dict("02 00 00 02 c3 a8 01 01 01 a9"), ErrorKind::InvalidUtf8,
               "Invalid UTF-8 in string field at offset 10");
  // Many entries promised, few present: the reservation does not follow the count.
  expect_error(with_dict("c0 84 3d 00 00 00"), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 6");
}

// ---- Limits ----

ByteVec nested(int depth, std::uint8_t open) {
  ByteVec payload;
  for (int i = 0; i < depth; ++i) {
    payload.push_back(open);
    payload.push_back(0x01);
    if (open == 0x06) {
      payload.push_back(0x01);
      payload.push_back(0x6B);
    }
  }
  payload.back() = open == 0x06 ? 0x6B : 0x00;  // innermost container is empty
  if (open == 0x06) payload.push_back(0x00);    // ...holds a Null, for objects
  return payload;
}

TEST(decoder_test, depth_limit_at_its_edge) {
  for (std::uint8_t open : {std::uint8_t{0x08}, std::uint8_t{0x06}}) {
    auto ok = decode(data_doc(nested(128, open)));
    ASSERT_TRUE(ok.has_value()) << ok.error().message();
    expect_error(decode(data_doc(nested(129, open))), ErrorKind::NestingTooDeep,
                 "Nesting depth 128 exceeds maximum 128");
  }
  // Depth is counted per top-level value, not in total.
  ByteVec twice = nested(128, 0x08);
  const ByteVec more = nested(128, 0x08);
  twice.insert(twice.end(), more.begin(), more.end());
  EXPECT_EQ(decode_ok(data_doc(twice)).size(), 2u);
}

TEST(decoder_test, item_limit_at_its_edge) {
  ByteVec payload = hex("08 c0 84 3d");  // 1,000,000 elements follow
  payload.resize(payload.size() + 1'000'000, 0x00);
  const auto values = decode_ok(data_doc(payload));
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].as_array().size(), 1'000'000u);
  expect_error(decode(data_doc(hex("08 c1 84 3d 00"))), ErrorKind::TooManyItems,
               "Item count 1000001 exceeds maximum 1000000");
  expect_error(decode(data_doc(hex("06 c1 84 3d"))), ErrorKind::TooManyItems,
               "Item count 1000001 exceeds maximum 1000000");
  // A forged count backed by nothing fails at the block end, not in allocation.
  expect_error(decode(data_doc(hex("08 c0 84 3d"))), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 23");
}

constexpr std::uint64_t mib16 = 16 * 1024 * 1024;

// 05 <subtype> <length varint> and `length` bytes of 'a', then `tail`.
ByteVec long_string(std::uint64_t length, std::uint8_t subtype, const ByteVec& tail = {}) {
  ByteVec payload = {0x05, subtype};
  encode_varint_vec(length, payload);
  payload.resize(payload.size() + length, 0x61);
  payload.insert(payload.end(), tail.begin(), tail.end());
  return payload;
}

TEST(decoder_test, string_length_limit_at_its_edge) {
  for (std::uint8_t subtype : {std::uint8_t{0}, std::uint8_t{1}}) {
    auto ok = decode(data_doc(long_string(mib16, subtype)));
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ((*ok)[0].is(Kind::Str) ? (*ok)[0].as_str().size() : (*ok)[0].as_bytes().size(), mib16);
    // Refused from the declared length alone, before the content is looked at.
    expect_error(decode(data_doc(hex(subtype ? "05 01 81 80 80 08" : "05 00 81 80 80 08"))),
                 ErrorKind::MemoryLimitExceeded, "Memory limit exceeded: requested 16777217 bytes, limit 16777216");
  }
}

TEST(decoder_test, memory_limit_counts_references) {
  // One 16 MiB string and fifteen references to it reach the limit exactly;
  // a seventeenth copy would pass it. Values are dropped as they come so the
  // test itself stays small.
  ByteVec refs;
  for (int i = 0; i < 16; ++i) {
    refs.push_back(0x0A);
    refs.push_back(0x00);
  }
  const ByteVec doc = data_doc(long_string(mib16, 0, refs));
  Decoder dec(doc);
  for (int i = 0; i < 16; ++i) {
    auto v = dec.decode_next_owned();
    ASSERT_TRUE(v.has_value()) << i << ": " << v.error().message();
    ASSERT_TRUE(v->has_value());
    EXPECT_EQ((*v)->as_str().size(), mib16);
  }
  expect_error(dec.decode_next_owned(), ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 285212672 bytes, limit 268435456");
}

TEST(decoder_test, memory_limit_counts_dictionary_entries) {
  // Front coding: a three-byte entry stands for the previous 16 MiB plus one.
  ByteVec dict = hex("02 00 00");
  encode_varint_vec(mib16, dict);
  dict.resize(dict.size() + mib16, 0x61);
  for (std::uint8_t b : hex("01 81 80 80 08 01 62")) dict.push_back(b);
  expect_error(decode(document({{dict_block, dict}, {data_block, hex("00")}})), ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 16777217 bytes, limit 16777216");

  // Entries count towards the running total as well: after 256 MiB of
  // strings, a one-byte entry is one byte too many.
  ByteVec refs;
  for (int i = 0; i < 15; ++i) {
    refs.push_back(0x0A);
    refs.push_back(0x00);
  }
  const ByteVec doc = document({{data_block, long_string(mib16, 0, refs)},
                                {dict_block, hex("01 00 00 01 61")},
                                {data_block, hex("0a 00")}});
  Decoder dec(doc);
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(dec.decode_next_owned().has_value()) << i;
  expect_error(dec.decode_next_owned(), ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 268435457 bytes, limit 268435456");
}

TEST(decoder_test, keys_do_not_count_towards_memory) {
  // A key longer than any string may be, after the string budget is spent.
  ByteVec refs;
  for (int i = 0; i < 15; ++i) {
    refs.push_back(0x0A);
    refs.push_back(0x00);
  }
  refs.push_back(0x06);
  refs.push_back(0x01);
  encode_varint_vec(mib16 + 1, refs);
  refs.resize(refs.size() + mib16 + 1, 0x6B);
  refs.push_back(0x00);
  const ByteVec doc = data_doc(long_string(mib16, 0, refs));
  Decoder dec(doc);
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(dec.decode_next_owned().has_value()) << i;
  auto obj = dec.decode_next_owned();
  ASSERT_TRUE(obj.has_value()) << obj.error().message();
  EXPECT_EQ((*obj)->as_object()[0].key.size(), mib16 + 1);
}

// ---- Damaged documents ----

// The truncation and single-byte sweeps over an encoded document are in
// hostile_test.cpp.

TEST(decoder_test, random_payloads_with_valid_framing_never_crash) {
  // Checksums are made to match, so the value decoder sees the bytes as they
  // are. Mostly a target for the sanitizer build.
  const std::uint32_t seed = 20240601;
  std::mt19937 rng(seed);
  const std::uint8_t alphabet[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                   0x0A, 0x0B, 0x80, 0xFF, 0x61, 0xC3, 0x7F, 0x10};
  for (int round = 0; round < 3000; ++round) {
    ByteVec dict;
    ByteVec data;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) data.push_back(alphabet[rng() % sizeof alphabet]);
    for (int i = 0; i < n / 2; ++i) dict.push_back(alphabet[rng() % sizeof alphabet]);
    ByteVec doc;
    if (round % 2) {
      doc = document({{dict_block, dict}, {data_block, data}});
    } else {
      doc = data_doc(data);
    }
    auto r = decode(doc);
    if (r) {
      // Whatever decodes must encode and decode again to the same values.
      EXPECT_EQ(decode_ok(encode_all(*r, true)), *r) << "seed " << seed << " round " << round;
    }
  }
}

// Containers nest, and a forged nest can announce a million members at every
// level: what a builder is told to reserve stays small whatever the counts
// and the bytes left, or every level would reserve for the whole block.
TEST(decoder_test, reservation_hints_stay_small_for_forged_counts) {
  struct HintBuilder : NullBuilder {
    std::size_t largest = 0;
    bool begin_array(std::size_t hint) {
      largest = std::max(largest, hint);
      return true;
    }
    bool begin_object(std::size_t hint) {
      largest = std::max(largest, hint);
      return true;
    }
  };
  ByteVec payload;
  for (int level = 0; level < 100; ++level) {
    payload.push_back(level % 2 ? 0x06 : 0x08);
    encode_varint_vec(1000000, payload);
    if (level % 2) payload.insert(payload.end(), {0x01, 'k'});
  }
  payload.resize(payload.size() + (4 << 20), 0x00);  // a sea of nulls for the members
  const ByteVec doc = data_doc(payload);
  Decoder dec(doc);
  HintBuilder b;
  (void)dec.decode_next(b);
  EXPECT_GT(b.largest, 0u);
  EXPECT_LE(b.largest, 1024u);
}

}  // namespace
}  // namespace tuvax
