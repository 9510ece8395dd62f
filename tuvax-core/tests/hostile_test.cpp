// Input shapes that have hurt other serializers, as fixed cases: nesting far
// past the limit (also on a small thread stack), tiny inputs declaring huge
// counts and lengths, arithmetic near 2^64, malformed UTF-8, hostile text, and
// every truncation and single-byte change of a sample document.

#include <gtest/gtest.h>
#include <pthread.h>

#include <bit>  // std::bit_cast
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "doc_framer.hpp"
#include "oracles.hpp"
#include "test_util.hpp"
#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"
#include "tuvax/framing.hpp"
#include "tuvax/text.hpp"
#include "tuvax/varint.hpp"

namespace tuvax {
namespace {

using test::data_doc;
using test::document;
using test::expect_error;
using test::first_payload_offset;
using test::hex;

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

std::vector<std::uint8_t> varint(std::uint64_t v) {
  std::vector<std::uint8_t> out;
  encode_varint_vec(v, out);
  return out;
}

std::vector<std::uint8_t> cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<std::uint8_t> repeat(const std::vector<std::uint8_t>& unit, std::size_t n) {
  std::vector<std::uint8_t> out;
  out.reserve(unit.size() * n);
  for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

Result<std::vector<Value>> decode(const std::vector<std::uint8_t>& doc) {
  Decoder d(doc);
  return d.decode_all_owned();
}

// Deep input must fail on the depth limit long before it could use up even a
// small thread stack. Optimised code needs about 600 bytes per nesting level
// (under 80 KiB for the 128 levels the limits allow); unoptimised and
// sanitizer builds need up to four times that, so they get 1 MiB.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr std::size_t small_stack = 256 * 1024;
#else
constexpr std::size_t small_stack = 1024 * 1024;
#endif

void on_small_stack(std::function<void()> body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, small_stack), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

// ---- Nesting ----

TEST(hostile_test, binary_nesting_millions_deep_fails_at_the_limit_on_a_small_stack) {
  const auto arrays = data_doc(repeat(hex("08 01"), 2'000'000));
  const auto objects = data_doc(repeat(hex("06 01 00"), 2'000'000));  // key "" then the next object
  const auto mixed = data_doc(repeat(hex("08 01 06 01 01 6b"), 1'000'000));
  on_small_stack([&] {
    expect_error(decode(arrays), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
    expect_error(decode(objects), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
    expect_error(decode(mixed), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
  });
}

TEST(hostile_test, text_nesting_millions_deep_fails_at_the_limit_on_a_small_stack) {
  const std::string brackets(2'000'000, '[');
  std::string members;
  for (int i = 0; i < 1'000'000; ++i) members += "{a:";
  std::string alternating;
  for (int i = 0; i < 1'000'000; ++i) alternating += "[{k: ";
  on_small_stack([&] {
    expect_error(parse(brackets), ErrorKind::TextParse,
                 "Text parse error at line 1, col 129: nesting depth exceeds maximum 128");
    //                                      ^ the 129th '{' starts at 3 * 128 + 1
    expect_error(parse(members), ErrorKind::TextParse,
                 "Text parse error at line 1, col 385: nesting depth exceeds maximum 128");
    // 64 pairs of "[{k: " fill 128 levels; the 129th bracket is the next '['.
    expect_error(parse(alternating), ErrorKind::TextParse,
                 "Text parse error at line 1, col 321: nesting depth exceeds maximum 128");
  });
}

TEST(hostile_test, deep_trees_are_refused_by_the_encoder_and_the_printer) {
  // Built from the inside out; destroying it must not recurse either.
  Value deep = Value::array();
  for (int i = 0; i < 200'000; ++i) {
    Array a;
    a.push_back(std::move(deep));
    deep = Value::array(std::move(a));
  }
  Encoder enc;
  expect_error(enc.encode_value(deep), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
  auto out = std::move(enc).finish();
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), empty_document_size);  // nothing of the failed value stayed

  // The printer stops where the reader would: text it writes reads back.
  expect_error(pretty_print(deep, 0), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
}

// ---- Tiny inputs, huge declarations ----

TEST(hostile_test, huge_counts_and_lengths_in_tiny_inputs) {
  // A count the limit allows, with nothing behind it: the reservation is
  // capped, and the end of the block is reported.
  expect_error(decode(data_doc(cat({hex("08"), varint(1'000'000)}))), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 23");
  expect_error(decode(data_doc(cat({hex("06"), varint(1'000'000)}))), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 23");
  expect_error(decode(data_doc(cat({hex("08"), varint(1'000'001)}))), ErrorKind::TooManyItems,
               "Item count 1000001 exceeds maximum 1000000");
  expect_error(decode(data_doc(cat({hex("06"), varint(u64_max)}))), ErrorKind::TooManyItems,
               "Item count 18446744073709551615 exceeds maximum 1000000");

  // 16 MiB declared, none present: the content end is reported.
  const auto str = cat({hex("05 00"), varint(16'777'216)});
  expect_error(decode(data_doc(str)), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset " + std::to_string(first_payload_offset(str.size()) + 6 + 16'777'216));
  expect_error(decode(data_doc(cat({hex("05 01"), varint(u64_max)}))), ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 18446744073709551615 bytes, limit 16777216");

  // The string dictionary: a million entries promised, none there.
  expect_error(decode(document({{4, varint(1'000'000)}, {1, {}}})), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 3");
  expect_error(decode(document({{4, varint(1'000'001)}, {1, {}}})), ErrorKind::TooManyItems,
               "Item count 1000001 exceeds maximum 1000000");
}

TEST(hostile_test, block_lengths_near_the_limits) {
  // A Data block declaring `length` bytes, with none of them present.
  auto framed = [](std::uint64_t length) {
    return document({{.type = 1, .length = length, .checksum = 0}}, /*trailer=*/false);
  };
  expect_error(decode(framed(u64_max)), ErrorKind::BlockTooLarge,
               "Block size 18446744073709551615 exceeds maximum 67108864");
  expect_error(decode(framed(0x4000001)), ErrorKind::BlockTooLarge, "Block size 67108865 exceeds maximum 67108864");
  // Exactly the limit: the payload end (22 + 64 MiB) lies far past the input.
  expect_error(decode(framed(0x4000000)), ErrorKind::UnexpectedEof, "Unexpected end of input at offset 67108886");

  // A compressed block declaring an absurd uncompressed size.
  expect_error(decode(document({{1, varint(u64_max), 1}})), ErrorKind::BlockTooLarge,
               "Block size 18446744073709551615 exceeds maximum 67108864");
  expect_error(decode(document({{1, varint(0x4000000), 3}})), ErrorKind::Decompression,
               "Decompression error: lz4 decompression not available (enable 'lz4' feature)");
}

// ---- Arithmetic near 2^64 ----

TEST(hostile_test, lengths_and_indices_near_two_to_the_64) {
  // Key length 2^64 - 1: the key end cannot be represented; it saturates
  // instead of wrapping to an offset inside the input.
  expect_error(decode(data_doc(cat({hex("06 01"), varint(u64_max)}))), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 18446744073709551615");
  expect_error(decode(data_doc(cat({hex("06 01"), varint(u64_max - 30)}))), ErrorKind::UnexpectedEof,
               "Unexpected end of input at offset 18446744073709551615");
  expect_error(decode(data_doc(cat({hex("0a"), varint(u64_max)}))), ErrorKind::InvalidData,
               "Invalid data: StrRef index 18446744073709551615 >= table size 0");

  // Dictionary entries: index, prefix and suffix lengths at the top of the range.
  expect_error(decode(document({{4, cat({hex("01"), varint(u64_max), hex("00 00")})}, {1, {}}})),
               ErrorKind::InvalidData,
               "Invalid data: StringDict entry has original_idx 18446744073709551615 >= count 1");
  expect_error(decode(document({{4, cat({hex("01 00 00"), varint(u64_max)})}, {1, {}}})),
               ErrorKind::UnexpectedEof, "Unexpected end of input at offset 13");
  //                                                  count, idx, prefix, 10-byte suffix length ^
  // A prefix longer than the previous entry keeps all of it, no more.
  auto r = decode(document({{4, cat({hex("02 00 00 02 61 62 01"), varint(u64_max), hex("01 63")})},
                            {1, hex("0a 00 0a 01")}}));
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(*r, (std::vector<Value>{Value::str("ab"), Value::str("abc")}));
}

TEST(hostile_test, pretty_print_with_indents_near_two_to_the_64) {
  Value nested = Value::array();
  nested.as_array().push_back(Value::array());
  nested.as_array().push_back(Value::bytes({1}));
  Value flat = Value::object();  // empty: no line is indented
  for (std::uint64_t indent : {std::uint64_t{1} << 63, u64_max, u64_max / 2 + 1, std::uint64_t{1} << 40}) {
    SCOPED_TRACE(indent);
    auto r = pretty_print(nested, indent);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::MemoryLimitExceeded) << r.error().message();
    auto ok = pretty_print(flat, indent);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(*ok, "{}");
    EXPECT_EQ(*pretty_print(Value::uint(7), indent), "7");
  }
}

// ---- Malformed UTF-8 ----

TEST(hostile_test, malformed_utf8_in_strings_keys_and_dictionary_suffixes) {
  const char* bad[] = {
      "ed a0 80",     // encoded surrogate U+D800
      "ed bf bf",     // encoded surrogate U+DFFF
      "c0 80",        // overlong NUL
      "e0 80 af",     // overlong '/'
      "f4 90 80 80",  // above U+10FFFF
      "f8 88 80 80 80",
      "80",           // lone continuation byte
      "e2 82",        // truncated three-byte sequence
      "61 ff 62",
  };
  for (const char* b : bad) {
    SCOPED_TRACE(b);
    const auto bytes = hex(b);
    const auto n = static_cast<std::uint8_t>(bytes.size());
    // Str: offset of the first content byte (tag, subtype, length before it).
    const auto str = cat({hex("05 00"), {n}, bytes});
    expect_error(decode(data_doc(str)), ErrorKind::InvalidUtf8,
                 "Invalid UTF-8 in string field at offset " + std::to_string(first_payload_offset(str.size()) + 3));
    // Key: offset of the first key byte.
    const auto obj = cat({hex("06 01"), {n}, bytes, hex("00 07")});
    expect_error(decode(data_doc(obj)), ErrorKind::InvalidUtf8,
                 "Invalid UTF-8 in string field at offset " + std::to_string(first_payload_offset(obj.size()) + 3));
    // Dictionary suffix: offset of the suffix end, from the payload start.
    expect_error(decode(document({{4, cat({hex("01 00 00"), {n}, bytes})}, {1, {}}})), ErrorKind::InvalidUtf8,
                 "Invalid UTF-8 in string field at offset " + std::to_string(4 + bytes.size()));
    // Bytes may hold anything.
    EXPECT_TRUE(decode(data_doc(cat({hex("05 01"), {n}, bytes}))).has_value());
  }
  // A prefix that would split the previous entry's character moves down to
  // its start, so "é" then (prefix 1, "x") gives "x", not a broken string;
  // a suffix that starts inside a character is refused.
  auto r = decode(document({{4, hex("02 00 00 02 c3 a9 01 01 01 78")}, {1, hex("0a 00 0a 01")}}));
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(*r, (std::vector<Value>{Value::str("\xc3\xa9"), Value::str("x")}));
  expect_error(decode(document({{4, hex("02 00 00 02 c3 a9 01 01 01 a9")}, {1, {}}})), ErrorKind::InvalidUtf8,
               "Invalid UTF-8 in string field at offset 10");
}

// ---- Hostile text ----

TEST(hostile_test, text_with_huge_numbers_payloads_and_unterminated_forms) {
  const std::string digits(1'000'000, '7');
  expect_error(parse(digits), ErrorKind::TextParse,
               "Text parse error at line 1, col 1000001: invalid integer: " + digits);
  expect_error(parse("-" + digits), ErrorKind::TextParse,
               "Text parse error at line 1, col 1000002: invalid integer: -" + digits);
  auto f = parse("0." + digits);
  ASSERT_TRUE(f.has_value()) << f.error().message();
  EXPECT_EQ(f->as_float(), 0.7777777777777778);
  f = parse("0." + std::string(1'000'000, '0') + "1");
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(f->as_float()), 0u);
  f = parse("1" + digits + ".5");
  ASSERT_TRUE(f.has_value());
  EXPECT_TRUE(std::isinf(f->as_float()));
  f = parse("1e" + digits);
  ASSERT_TRUE(f.has_value());
  EXPECT_TRUE(std::isinf(f->as_float()));
  f = parse("-1e-" + digits);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(f->as_float()), std::bit_cast<std::uint64_t>(-0.0));
  f = parse("1e-99999999999999999999999");
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->as_float(), 0.0);

  // 3 MiB of bytes from 4 MiB of base64, then the same with one bad symbol at the end.
  std::string b64 = "b64#" + std::string(4u << 20, 'A');
  auto b = parse(b64);
  ASSERT_TRUE(b.has_value()) << b.error().message();
  EXPECT_EQ(b->as_bytes().size(), 3u << 20);
  b64.back() = '*';
  expect_error(parse(b64), ErrorKind::TextParse,
               "Text parse error at line 1, col 4194309: invalid base64: Invalid symbol 42, offset 4194303.");

  const std::string long_text(1'000'000, 'a');
  expect_error(parse("\"" + long_text), ErrorKind::TextParse,
               "Text parse error at line 1, col 1000002: unterminated string");
  expect_error(parse("\"" + long_text + "\\"), ErrorKind::TextParse,
               "Text parse error at line 1, col 1000003: unterminated string escape");
  std::string comments;
  for (int i = 0; i < 500'000; ++i) comments += "/*";  // nested, never closed
  expect_error(parse(comments), ErrorKind::TextParse,
               "Text parse error at line 1, col 1000001: unexpected end of input");
  expect_error(parse("[1, // " + long_text), ErrorKind::TextParse,
               "Text parse error at line 1, col 1000008: unexpected end of input");
  std::string lines(1'000'000, '\n');
  expect_error(parse(lines + "?"), ErrorKind::TextParse,
               "Text parse error at line 1000001, col 1: unexpected character: '?'");
}

TEST(hostile_test, text_errors_name_multibyte_characters_and_cut_number_tokens) {
  // The offending character is quoted whole, whatever its UTF-8 length.
  expect_error(parse("\xc3\xa9"), ErrorKind::TextParse, "Text parse error at line 1, col 1: unexpected character: '\xc3\xa9'");
  expect_error(parse("[\xe2\x82\xac]"), ErrorKind::TextParse,
               "Text parse error at line 1, col 2: unexpected character: '\xe2\x82\xac'");
  expect_error(parse("{a: 1; \xf0\x9f\x98\x80"), ErrorKind::TextParse,
               "Text parse error at line 1, col 8: expected identifier");
  expect_error(parse("{a \xc3\xa9"), ErrorKind::TextParse, "Text parse error at line 1, col 5: expected ':', got '\xc3\xa9'");
  expect_error(parse("{\xd0\xba: 1 \xf0\x9f\x98\x80"), ErrorKind::TextParse,
               "Text parse error at line 1, col 8: expected ';', got '\xf0\x9f\x98\x80'");
  // Number tokens that stop at the end of the input, inside their exponent
  // or right after a sign or a point.
  struct Case {
    const char* text;
    const char* message;
  };
  for (const Case& c : {
           Case{"1e", "Text parse error at line 1, col 3: invalid float: 1e"},
           Case{"1e+", "Text parse error at line 1, col 4: invalid float: 1e+"},
           Case{"-1E-", "Text parse error at line 1, col 5: invalid float: -1E-"},
           Case{"-.", "Text parse error at line 1, col 3: invalid float: -."},
           Case{"+.e5", "Text parse error at line 1, col 5: invalid float: +.e5"},
           Case{"1.2.", "Text parse error at line 1, col 5: invalid float: 1.2."},
       }) {
    SCOPED_TRACE(c.text);
    expect_error(parse(c.text), ErrorKind::TextParse, c.message);
  }
  for (const auto& [text, value] : {std::pair{"5.", 5.0}, {"-.5", -0.5}, {"+.5e1", 5.0}, {"1.e2", 100.0}}) {
    SCOPED_TRACE(text);
    auto r = parse(text);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->as_float(), value);
  }
}

TEST(hostile_test, text_with_malformed_utf8_never_crashes) {
  // The Python layer only hands the parser valid UTF-8; the core must still
  // fail cleanly on anything else.
  const char* inputs[] = {"\"\xed\xa0\x80\"", "\xff", "{\xc3: 1;}", "[\"a\" \xe2\x82]", "\"\xf4\x90\x80\x80\"",
                          "b64#\xc3", "// \xff\n1", "{a: 1;} \xc0\x80"};
  for (const char* in : inputs) {
    SCOPED_TRACE(test::to_hex(std::vector<std::uint8_t>(in, in + std::char_traits<char>::length(in))));
    EXPECT_EQ(oracle::check_text(in), "");
  }
}

// ---- Truncation and single-byte changes of a sample document ----

std::vector<std::uint8_t> sample_document() {
  Object o;
  o.push_back({"name", Value::str("d\xc3\xa9mo")});
  o.push_back({"name", Value::str("duplicate key")});
  o.push_back({"\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87", Value::integer(-300)});
  o.push_back({"", Value::uint(u64_max)});
  Array a;
  for (double d : {0.5, -0.0, std::bit_cast<double>(std::uint64_t{0x7FF0000000000123})})
    a.push_back(Value::real(d));
  a.push_back(Value::bytes({0, 0xFF, 0x80}));
  a.push_back(Value::boolean(true));
  a.push_back(Value::null());
  a.push_back(Value::str("d\xc3\xa9mo"));
  a.push_back(Value::str("d\xc3\xa8mo"));
  a.push_back(Value::array());
  a.push_back(Value::object());
  o.push_back({"list", Value::array(std::move(a))});
  Encoder enc;
  enc.enable_dedup();
  EXPECT_TRUE(enc.encode_value(Value::object(std::move(o))).has_value());
  // Several top-level values, so that a change can end the stream midway.
  for (const Value& v : {Value::str("d\xc3\xa9mo"), Value::str(""), Value::bytes({}), Value::boolean(false), Value::null()})
    EXPECT_TRUE(enc.encode_value(v).has_value());
  return *std::move(enc).finish();
}

TEST(hostile_test, every_truncation_of_a_sample_document_fails) {
  const auto doc = sample_document();
  ASSERT_TRUE(decode(doc).has_value());
  for (std::size_t n = 0; n < doc.size(); ++n) {
    const std::vector<std::uint8_t> cut(doc.begin(), doc.begin() + static_cast<std::ptrdiff_t>(n));
    auto r = decode(cut);
    ASSERT_FALSE(r.has_value()) << "a document cut to " << n << " of " << doc.size() << " bytes decoded";
    // Without the trailer nothing can tell the cut, so every cut names the end.
    EXPECT_EQ(r.error().kind(), ErrorKind::UnexpectedEof) << n << ": " << r.error().message();
  }
}

TEST(hostile_test, every_single_byte_change_of_a_sample_document) {
  const auto doc = sample_document();
  const auto original = decode(doc);
  ASSERT_TRUE(original.has_value());
  std::set<std::size_t> type_bytes;
  std::size_t at = header_size;
  for (const test::RawBlock& block : test::split_document(doc).blocks) {
    type_bytes.insert(at);
    at += first_payload_offset(block.payload.size()) - header_size + block.payload.size();
  }
  type_bytes.insert(at);  // the trailer's
  std::size_t decoded_after_repair = 0;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    for (int b = 0; b < 256; ++b) {
      if (b == doc[i]) continue;
      auto changed = doc;
      changed[i] = static_cast<std::uint8_t>(b);
      // As it is, the checksums catch every change, and the values streamed
      // before the error are the document's own. A block's type byte lies
      // outside its checksum: a retyped block may legitimately read as other
      // values (a dictionary's payload read as a Data block).
      auto r = decode(changed);
      if (r.has_value()) {
        ASSERT_EQ(*r, *original) << "byte " << i << " set to " << b << " decoded to different values";
      }
      if (!type_bytes.contains(i)) {
        Decoder dec(changed);
        for (std::size_t k = 0;; ++k) {
          auto next = dec.decode_next_owned();
          if (!next || !*next) break;
          ASSERT_LT(k, original->size()) << "byte " << i << " set to " << b;
          ASSERT_EQ(**next, (*original)[k]) << "byte " << i << " set to " << b;
        }
      }
      // With the checksums recomputed, the change reaches the dictionary and
      // value decoders; what decodes must keep every round-trip property.
      test::recompute_checksums(changed);
      bool ok = false;
      // The full round trips for the changes most likely to matter (bit
      // flips, neighbours, the boundary values); decoding alone for the rest.
      const int v = doc[i];
      const bool notable = b == 0 || b == 0x01 || b == 0x7F || b == 0x80 || b == 0xFF || b == (v ^ 0x01) ||
                           b == (v ^ 0x80) || b == (v ^ 0x40) || b == ((v + 1) & 0xFF) || b == ((v - 1) & 0xFF);
      const std::string bad = oracle::check_binary(changed, notable, &ok);
      ASSERT_EQ(bad, "") << "byte " << i << " set to " << b;
      decoded_after_repair += ok;
    }
  }
  // Most changes inside values still decode once the checksums agree: the
  // loop above really exercised the value decoder.
  EXPECT_GT(decoded_after_repair, doc.size() * 20);
}

}  // namespace
}  // namespace tuvax
