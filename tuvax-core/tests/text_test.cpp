#include "tuvax/text.hpp"

#include <gtest/gtest.h>

#include <bit>  // std::bit_cast
#include <charconv>  // std::to_chars, the reference for floats
#include <cmath>
#include <cstdint>
#include <format>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_util.hpp"
#include "tuvax/detail/text_reader.hpp"
#include "tuvax/detail/text_writer.hpp"  // key_form

namespace tuvax {
namespace {

using test::expect_error;

constexpr double inf = std::numeric_limits<double>::infinity();
using detail::canonical_nan_bits;

Value U(std::uint64_t v) { return Value::uint(v); }
Value I(std::int64_t v) { return Value::integer(v); }
Value F(double v) { return Value::real(v); }
Value S(std::string s) { return Value::str(std::move(s)); }
Value B(Bytes b) { return Value::bytes(std::move(b)); }
Value A(Array a) { return Value::array(std::move(a)); }
Value O(Object o) { return Value::object(std::move(o)); }

std::string show(const Value& v) {
  auto t = pretty_print(v, 2);
  return t ? *t : t.error().message();
}

// Compares by bits (Value's own equality), showing both sides as text.
::testing::AssertionResult same(const Result<Value>& got, const Value& want) {
  if (!got) return ::testing::AssertionFailure() << "error: " << got.error().message();
  if (*got == want) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got\n" << show(*got) << "\nwant\n" << show(want);
}

std::string print(const Value& v, std::uint64_t indent = 2) {
  auto t = pretty_print(v, indent);
  EXPECT_TRUE(t.has_value()) << t.error().message();
  return t.value_or("");
}

void expect_parse_error(std::string_view text, std::uint64_t line, std::uint64_t col,
                        std::string_view message,
                        std::source_location loc = std::source_location::current()) {
  SCOPED_TRACE(::testing::Message() << "text: " << text);
  expect_error(parse(text), ErrorKind::TextParse,
               std::format("Text parse error at line {}, col {}: {}", line, col, message), loc);
}

// ---- Writer ----

const Value& worked_example() {
  static const Value v = O({
      {"name", S("Ada \"L\"\n")},
      {"count", U(3)},
      {"delta", I(-2)},
      {"zero", I(0)},
      {"ratio", F(2.0)},
      {"tiny", F(0.000001)},
      {"blob", B({1, 2, 3})},
      {"tags", A({S("a"), U(1), Value::null()})},
      {"matrix", A({A({U(1), U(2)}), A({})})},
      {"first name", Value::boolean(true)},
      {"empty", O({})},
  });
  return v;
}

TEST(text_test, writes_the_worked_example) {
  EXPECT_EQ(print(worked_example(), 2),
            "{\n"
            "  name: \"Ada \\\"L\\\"\\n\";\n"
            "  count: 3;\n"
            "  delta: -2;\n"
            "  zero: -0;\n"
            "  ratio: 2.0;\n"
            "  tiny: 0.000001;\n"
            "  blob: b64#AQID;\n"
            "  tags: [\"a\", 1, null];\n"
            "  matrix: [\n"
            "    [1, 2],\n"
            "    []\n"
            "  ];\n"
            "  \"first name\": true;\n"
            "  empty: {};\n"
            "}");
  EXPECT_EQ(print(worked_example(), 0),
            "{\nname: \"Ada \\\"L\\\"\\n\";\ncount: 3;\ndelta: -2;\nzero: -0;\nratio: 2.0;\n"
            "tiny: 0.000001;\nblob: b64#AQID;\ntags: [\"a\", 1, null];\nmatrix: [\n[1, 2],\n[]\n];\n"
            "\"first name\": true;\nempty: {};\n}");
}

TEST(text_test, writes_scalars) {
  const std::pair<Value, std::string_view> cases[] = {
      {Value::null(), "null"},
      {Value::boolean(false), "false"},
      {U(5), "5"},
      {U(0), "0"},
      {U(18446744073709551615u), "18446744073709551615"},
      {I(0), "-0"},  // signed zero keeps its kind through the text
      {I(7), "7"},
      {I(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {S(""), "\"\""},
      {S("\t\n\r\"\\"), "\"\\t\\n\\r\\\"\\\\\""},
      // Other control characters and non-ASCII text are written as they are.
      {S("\x01\f\x7F"), "\"\x01\f\x7F\""},
      {S("ключ €"), "\"ключ €\""},
      {B({}), "b64#"},
      {B({1, 2, 3}), "b64#AQID"},
      {B({0xFF}), "b64#/w=="},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(print(v), text);
  EXPECT_EQ(print(S(std::string("a\0b", 3))), std::string("\"a\0b\"", 5));
  // Integers of every length, at both ends of each and in between: each
  // length takes its own way through the digit writer.
  std::mt19937_64 rng(8);
  for (std::uint64_t power = 1, n = 1; n <= 20; ++n, power *= 10) {
    const std::uint64_t width = n == 20 ? ~std::uint64_t{0} - power : power * 9;
    for (std::uint64_t v : {power, power + 1, power + width, power + rng() % width, power + rng() % width}) {
      EXPECT_EQ(print(U(v)), std::to_string(v));
      if (v <= std::numeric_limits<std::int64_t>::max()) {
        EXPECT_EQ(print(I(-static_cast<std::int64_t>(v))), "-" + std::to_string(v));
      }
    }
  }
}

TEST(text_test, writes_floats_as_shortest_positional_digits) {
  const std::pair<double, std::string> cases[] = {
      {2.0, "2.0"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {0.1, "0.1"},
      {0.5, "0.5"},
      {100.0, "100.0"},
      {-1.5, "-1.5"},
      {123.456, "123.456"},
      {1.5e-7, "0.00000015"},
      {1e21, "1000000000000000000000.0"},
      // Not the exact binary value 99999999999999991611392: the shortest digits.
      {1e23, "100000000000000000000000.0"},
      {1e300, "1" + std::string(300, '0') + ".0"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0') + ".0"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::bit_cast<double>(canonical_nan_bits), "NaN"},
      {std::bit_cast<double>(std::uint64_t{0xFFF0000000000001}), "NaN"},
  };
  for (const auto& [d, text] : cases) {
    EXPECT_EQ(print(F(d)), text);
    if (!std::isnan(d)) {
      EXPECT_TRUE(same(parse(text), F(d))) << text;
    }
  }
}

// Below 2^53 the writer finds the shortest digits its own way for most
// values; they must be std::to_chars's, byte for byte, wherever the two
// could part: decimals of every length up to 17 digits and the doubles next
// to them, powers of two and ten and their neighbours, ties, random bits.
TEST(text_test, writes_floats_below_2_to_53_as_to_chars_does) {
  std::mt19937_64 rng(20261208);
  std::vector<double> ds;
  const auto near = [&](double d) {
    ds.push_back(d);
    ds.push_back(std::nextafter(d, 0.0));
    ds.push_back(std::nextafter(d, inf));
  };
  for (int e = -1074; e <= 53; ++e) near(std::ldexp(1.0, e));
  for (int e = -30; e <= 16; ++e) near(std::pow(10.0, e));
  for (int i = 0; i < 60000; ++i) {
    // A decimal of 1 to 17 significant digits at a random scale.
    const int digits = 1 + static_cast<int>(rng() % 17);
    const double scale = std::pow(10.0, static_cast<int>(rng() % 40) - 24);
    near(std::stod(std::format("{:.{}e}", static_cast<double>(rng() >> 11) * 0x1p-53, digits - 1)) * scale);
    near(static_cast<double>(rng() % 1000000) / 64.0);  // ties between decimals
    const double bits = std::bit_cast<double>(rng());
    near(std::isfinite(bits) && std::fabs(bits) < 0x1p53 ? bits : std::ldexp(static_cast<double>(rng() >> 11), -50));
  }
  for (const double d : ds) {
    if (!(std::fabs(d) < 0x1p53)) continue;
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
    std::string want(buf, r.ptr);
    if (want.find('.') == std::string::npos) want += ".0";
    ASSERT_EQ(print(F(d)), want) << std::format("{:a}", d);
  }
}

TEST(text_test, chooses_inline_or_block_arrays) {
  EXPECT_EQ(print(A({})), "[]");
  EXPECT_EQ(print(A({U(1), S("a"), Value::null()})), "[1, \"a\", null]");
  Array eight(8, U(1));
  EXPECT_EQ(print(A(eight)), "[1, 1, 1, 1, 1, 1, 1, 1]");
  eight.push_back(U(9));
  EXPECT_EQ(print(A(eight), 1), "[\n 1,\n 1,\n 1,\n 1,\n 1,\n 1,\n 1,\n 1,\n 9\n]");
  // Any container or byte string, even an empty one, forces the block form.
  EXPECT_EQ(print(A({A({})})), "[\n  []\n]");
  EXPECT_EQ(print(A({O({})})), "[\n  {}\n]");
  EXPECT_EQ(print(A({B({1})})), "[\n  b64#AQ==\n]");
  EXPECT_EQ(print(A({A({O({{"k", A({U(1), B({})})}})})}), 3),
            "[\n   [\n      {\n         k: [\n            1,\n            b64#\n         ];\n"
            "      }\n   ]\n]");
}

TEST(text_test, writes_keys_bare_or_quoted) {
  const std::pair<std::string, std::string> cases[] = {
      {"name", "name"}, {"_id", "_id"}, {"k2", "k2"}, {"_x1", "_x1"}, {"ключ", "ключ"},
      {"x٣", "x٣"},  // U+0663, an Arabic-Indic digit (Nd), may continue a key
      {"2k", "\"2k\""}, {"first name", "\"first name\""}, {"a-b", "\"a-b\""}, {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"\xff", "\"\xff\""},
  };
  for (const auto& [key, text] : cases) EXPECT_EQ(print(O({{key, O({})}})), "{\n  " + text + ": {};\n}");
}

// The key test reads whole words; byte by byte it must agree with the
// character classes, at every length and wherever the odd byte stands:
// the neighbours of each class's bounds, '_', non-ASCII and NUL.
TEST(text_test, tells_bare_keys_at_every_length_and_position) {
  const auto bytewise = [](std::string_view k) {
    if (k.empty()) return false;
    for (std::size_t i = 0; i < k.size(); ++i) {
      const auto c = static_cast<std::uint8_t>(k[i]);
      if (!(detail::ascii_classes[c] & (i == 0 ? detail::ascii_ident_start : detail::ascii_ident_continue))) return false;
    }
    return true;
  };
  constexpr std::string_view odd("/09:@AZ[_`az{\x7F\x80\xC3\xFF\0 -", 20);
  std::mt19937_64 rng(7);
  for (std::size_t n = 1; n <= 40; ++n) {
    for (int round = 0; round < 200; ++round) {
      std::string k(n, 'a');
      for (auto& c : k) c = "aZ_09"[rng() % 5];
      for (int j = 0; j < 1 + static_cast<int>(rng() % 2); ++j) k[rng() % n] = odd[rng() % odd.size()];
      if (round == 0) k = std::string(n, 'x');
      const detail::KeyForm form = detail::key_form(k);
      EXPECT_EQ(form == detail::KeyForm::bare_ascii, bytewise(k)) << testing::PrintToString(k);
      if (form != detail::KeyForm::bare_ascii) {
        EXPECT_EQ(form == detail::KeyForm::bare, detail::is_bare_key_unicode(k)) << testing::PrintToString(k);
      }
    }
  }
}

// What is printed reads back: 128 nested containers print, one more is
// refused whatever its form (the reader counts "[]" and "[1]" as levels too),
// and a tree thousands of levels deep fails at that level, not on the stack.
TEST(text_test, prints_nesting_only_as_deep_as_it_reads) {
  const auto nest = [](int levels, Value inner) {
    for (int i = 0; i < levels; ++i) {
      // Moved in, not listed: an initializer list would copy the subtree.
      Value next;
      if (i % 2) {
        next = O({});
        next.as_object().push_back({"k", std::move(inner)});
      } else {
        next = A({});
        next.as_array().push_back(std::move(inner));
        next.as_array().push_back(B({}));
      }
      inner = std::move(next);
    }
    return inner;
  };
  for (const Value& innermost : {U(1), A({}), O({}), A({U(1)})}) {
    const bool container = innermost.kind() != Kind::UInt;
    const Value fits = nest(container ? 127 : 128, innermost);
    const std::string text = print(fits, 1);
    EXPECT_TRUE(same(parse(text), fits));
    expect_error(pretty_print(nest(container ? 128 : 129, innermost), 1), ErrorKind::NestingTooDeep,
                 "Nesting depth 128 exceeds maximum 128");
  }
  expect_error(pretty_print(nest(5000, U(1)), 0), ErrorKind::NestingTooDeep, "Nesting depth 128 exceeds maximum 128");
}

TEST(text_test, refuses_indentation_it_cannot_allocate) {
  const Value nested = A({A({U(1)})});
  expect_error(pretty_print(nested, std::uint64_t{1} << 40), ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 1099511627776 bytes, limit 1073741824");
  expect_error(pretty_print(O({{"a", U(1)}}), (std::uint64_t{1} << 30) + 1),
               ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 1073741825 bytes, limit 1073741824");
  expect_error(pretty_print(A({A({A({U(1)})})}), std::uint64_t{1} << 63),
               ErrorKind::MemoryLimitExceeded,
               "Memory limit exceeded: requested 9223372036854775808 bytes, limit 1073741824");
  // A value that needs no indentation is written whatever the indent.
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(pretty_print(A({U(1), S("x")}), huge).value_or("?"), "[1, \"x\"]");
  EXPECT_EQ(pretty_print(O({}), huge).value_or("?"), "{}");
}

// ---- Lexical layer ----

TEST(text_test, positions_count_characters_and_lines) {
  const std::string_view text = "\xC3\xA9\r\n\t\xE2\x80\xA8x\xFF";  // é CR LF TAB U+2028 x, a bad byte
  const std::pair<std::size_t, detail::TextPosition> cases[] = {
      {0, {1, 1}}, {2, {1, 2}}, {3, {1, 3}}, {4, {2, 1}}, {8, {2, 3}}, {9, {2, 4}}, {10, {2, 5}},
  };
  for (const auto& [pos, want] : cases) {
    const detail::TextPosition got = detail::text_position(text, pos);
    EXPECT_EQ(got.line, want.line) << pos;
    EXPECT_EQ(got.col, want.col) << pos;
  }
  // TAB and U+2028 are whitespace, not line breaks; a malformed byte stops
  // the skip in front of it.
  EXPECT_EQ(detail::skip_space_and_comments(text, 4), 8u);
  EXPECT_EQ(detail::skip_space_and_comments(text, 9), 9u);
}

TEST(text_test, counts_the_comments_it_skips) {
  const std::pair<std::string_view, std::uint64_t> cases[] = {
      {"1", 0}, {"/* a /* b */ c */ 1", 1}, {"// x\n[1, /**/ 2] // y", 3},
      {"{a: 1; // one\n /* two */ b: \"//not/*\";}", 2}, {"[1 /* unclosed", 1},
  };
  for (const auto& [text, want] : cases) {
    NullBuilder nothing;
    ParseCounts counts;
    (void)parse_into(text, nothing, counts);
    EXPECT_EQ(counts.comments, want) << text;
  }
}

TEST(text_test, skips_indentation_of_every_length) {
  // After a line break, runs of spaces shorter and longer than the reader
  // takes at once, with the text ending at every distance from them.
  for (std::size_t k = 0; k <= 40; ++k) {
    const std::string spaces(k, ' ');
    EXPECT_TRUE(same(parse("[1,\n" + spaces + "2,\r\n" + spaces + "\t3]"), A({U(1), U(2), U(3)}))) << k;
    expect_parse_error("[1,\n" + spaces + "#]", 2, k + 1, "unexpected character: '#'");
    expect_parse_error("[1,\n" + spaces, 2, k + 1, "unexpected end of input");
  }
}

TEST(text_test, skips_comments) {
  EXPECT_TRUE(same(parse("/* a /* b */ c */ 1"), U(1)));
  EXPECT_TRUE(same(parse("// settings\n1 // note"), U(1)));
  EXPECT_TRUE(same(parse("[1 /* x */ 2 /**/ /*/ */]"), A({U(1), U(2)})));
  expect_parse_error("/* a */ */", 1, 9, "unexpected character: '*'");
  expect_parse_error("/* never closed", 1, 16, "unexpected end of input");
  expect_parse_error("  // c\n  ", 2, 3, "unexpected end of input");
  expect_parse_error("# not a comment", 1, 1, "unexpected character: '#'");
}

TEST(text_test, reads_quoted_strings) {
  EXPECT_TRUE(same(parse(R"("a\qb")"), S("a\\qb")));
  EXPECT_TRUE(same(parse(R"("\u0041\/\b\0")"), S(R"(\u0041\/\b\0)")));
  EXPECT_TRUE(same(parse(R"("\"\\\n\r\t")"), S("\"\\\n\r\t")));
  EXPECT_TRUE(same(parse("\"\\é\""), S("\\é")));
  // A raw TAB is one column; a raw LF starts a new line.
  expect_parse_error("\"a\tb\" ?", 1, 7, "unexpected character: '?'");
  expect_parse_error("\"a\nb\" ?", 2, 4, "unexpected character: '?'");
  expect_parse_error("\"abc\\", 1, 6, "unterminated string escape");
  expect_parse_error("\"abc", 1, 5, "unterminated string");
  expect_parse_error("{\"a\nb", 2, 2, "unterminated string");
}

TEST(text_test, skips_type_annotations) {
  EXPECT_TRUE(same(parse("42::u8"), U(42)));
  EXPECT_TRUE(same(parse("\"s\"::str"), S("s")));
  EXPECT_TRUE(same(parse("true::flag"), Value::boolean(true)));
  EXPECT_TRUE(same(parse("-5::i8"), I(-5)));
  EXPECT_TRUE(same(parse("1.5::f32"), F(1.5)));
  EXPECT_TRUE(same(parse("[1::u8, 2::, 3::9ключ_]"), A({U(1), U(2), U(3)})));
  expect_parse_error("1 ::u8", 1, 3, "unexpected character: ':'");
  expect_parse_error("[b64#AQ==::x]", 1, 13, "invalid base64: Invalid symbol 61, offset 2.");
}

// ---- Values ----

TEST(text_test, parses_the_worked_example) {
  const std::string_view text =
      "// settings\n"
      "{\n"
      "  name: \"demo\";   /* a /* nested */ comment */\n"
      "  \"max size\": 1024::u32;\n"
      "  ratio: -0.5;\n"
      "  flags: [true false, null,];\n"
      "  raw: b64#AQID;\n"
      "  limits: [1e3, +7, -0];\n"
      "}\n";
  EXPECT_TRUE(same(parse(text), O({{"name", S("demo")},
                                   {"max size", U(1024)},
                                   {"ratio", F(-0.5)},
                                   {"flags", A({Value::boolean(true), Value::boolean(false), Value::null()})},
                                   {"raw", B({1, 2, 3})},
                                   {"limits", A({F(1000.0), U(7), I(0)})}})));
  EXPECT_TRUE(same(parse(print(worked_example())), worked_example()));
}

TEST(text_test, parses_numbers) {
  const std::pair<std::string_view, Value> cases[] = {
      {"-0", I(0)}, {"0", U(0)}, {"+0", U(0)}, {"007", U(7)}, {"0.0", F(0.0)}, {"-0.0", F(-0.0)},
      {"18446744073709551615", U(18446744073709551615u)},
      {"-9223372036854775808", I(std::numeric_limits<std::int64_t>::min())},
      {"5.", F(5.0)}, {"-.5", F(-0.5)}, {"+.5e1", F(5.0)}, {"1E+2", F(100.0)}, {"2e-3", F(0.002)},
      {"1e400", F(inf)}, {"-1e400", F(-inf)}, {"1e-400", F(0.0)}, {"-1e-400", F(-0.0)},
      {"1.7976931348623159e308", F(inf)}, {"4.9e-324", F(5e-324)}, {"2e-324", F(0.0)},
      {"0e99999999999999999999", F(0.0)}, {"0.000001e99999999999999999999", F(inf)},
      {"100000000000000000000000000000e-99999999999999999999", F(0.0)},
      // Correctly rounded: a tie goes to even, anything past it up.
      {"9007199254740993.0", F(9007199254740992.0)},
      {"9007199254740993.00000000000000000000001", F(9007199254740994.0)},
      {"inf", F(inf)}, {"-inf", F(-inf)}, {"inf::f64", F(inf)},
      {"NaN::f64", F(std::bit_cast<double>(canonical_nan_bits))},
      {"[1-2]", A({U(1), I(-2)})},
  };
  for (const auto& [text, v] : cases) EXPECT_TRUE(same(parse(text), v)) << text;
  // The token ends at the first character outside the number alphabet.
  expect_parse_error("12abc", 1, 3, "unexpected character: 'a'");
  expect_parse_error("0x1F", 1, 2, "unexpected character: 'x'");
}

TEST(text_test, reports_bad_tokens_after_them) {
  struct Case {
    std::string_view text;
    std::uint64_t col;
    std::string_view message;
  };
  const Case cases[] = {
      {"18446744073709551616", 21, "invalid integer: 18446744073709551616"},
      {"-9223372036854775809", 21, "invalid integer: -9223372036854775809"},
      {"99999999999999999999999", 24, "invalid integer: 99999999999999999999999"},
      {"+", 2, "invalid integer: +"},
      {"-", 2, "invalid integer: -"},
      {"+inf", 2, "invalid integer: +"},
      {"-::i8", 6, "invalid integer: -"},
      {"1e", 3, "invalid float: 1e"},
      {"1e+", 4, "invalid float: 1e+"},
      {"-.", 3, "invalid float: -."},
      {"1.2.3", 6, "invalid float: 1.2.3"},
      {"1e5e5", 6, "invalid float: 1e5e5"},
      {"1e5.5::f64", 11, "invalid float: 1e5.5"},
  };
  for (const Case& c : cases) expect_parse_error(c.text, 1, c.col, c.message);
}

TEST(text_test, literals_are_spelled_exactly) {
  expect_parse_error("[nullx]", 1, 6, "unexpected character: 'x'");
  for (std::string_view text : {"nan", "nul", "NULL", "True", "Infinity", "b", "b64", "fals"}) {
    const std::string first(1, text[0]);
    expect_parse_error(text, 1, 1, "unexpected character: '" + first + "'");
  }
  // A literal ends where its spelling does; what follows is the next token.
  expect_parse_error("nullx", 1, 5, "unexpected character: 'x'");
  expect_parse_error("[truefalse null inf-inf NaN x]", 1, 29, "unexpected character: 'x'");
}

TEST(text_test, parses_arrays) {
  const Value three = A({U(1), U(2), U(3)});
  for (std::string_view text : {"[1 2 3]", "[1, 2, 3,]", "[1,2,3]", " [ 1\n,2 /*,*/ 3 ] "})
    EXPECT_TRUE(same(parse(text), three)) << text;
  EXPECT_TRUE(same(parse("[]"), A({})));
  EXPECT_TRUE(same(parse("[ /* c */ ]"), A({})));
  expect_parse_error("[,1]", 1, 2, "unexpected character: ','");
  expect_parse_error("[1,,2]", 1, 4, "unexpected character: ','");
  expect_parse_error("[1, ?]", 1, 5, "unexpected character: '?'");
  expect_parse_error("[1, 2", 1, 6, "unexpected end of input");
  expect_parse_error("[\"é\", €]", 1, 7, "unexpected character: '€'");
}

TEST(text_test, parses_objects) {
  EXPECT_TRUE(same(parse("{}"), O({})));
  EXPECT_TRUE(same(parse("{a: 1; a: 2;}"), O({{"a", U(1)}, {"a", U(2)}})));
  EXPECT_TRUE(same(parse("{null: true; true: null; \"q\\\"k\": 1; ключ٣: 2;}"),
                   O({{"null", Value::boolean(true)}, {"true", Value::null()}, {"q\"k", U(1)},
                      {"ключ٣", U(2)}})));
  EXPECT_TRUE(same(parse("{_:{b:[];};}"), O({{"_", O({{"b", A({})}})}})));
  struct Case {
    std::string_view text;
    std::uint64_t line, col;
    std::string_view message;
  };
  const Case cases[] = {
      {"{a: 1}", 1, 7, "expected ';', got '}'"},
      {"{\n  a: 1,\n}", 2, 8, "expected ';', got ','"},
      //       ^ just after the ','
      {"{a 1;}", 1, 5, "expected ':', got '1'"},
      {"{a: 1; b", 1, 9, "expected ':', got EOF"},
      {"{1: 2;}", 1, 2, "expected identifier"},
      {"{a: 1;", 1, 7, "expected identifier"},
      {"{a:", 1, 4, "unexpected end of input"},
      {"{a: 1 /* c */", 1, 14, "expected ';', got EOF"},
      {"{é€: 1;}", 1, 4, "expected ':', got '€'"},
  };
  for (const Case& c : cases) expect_parse_error(c.text, c.line, c.col, c.message);
}

TEST(text_test, parses_byte_strings) {
  EXPECT_TRUE(same(parse("{\"first name\": b64#AQID;}"), O({{"first name", B({1, 2, 3})}})));
  EXPECT_TRUE(same(parse("b64#"), B({})));
  EXPECT_TRUE(same(parse("b64#AQID\n"), B({1, 2, 3})));
  EXPECT_TRUE(same(parse("{a: b64#\u3000 AQ==\t\n;}"), O({{"a", B({1})}})));
  // In arrays the payload ends at ',' or ']', as the writer lays them out.
  EXPECT_TRUE(same(parse("[b64#AQID, b64#,\n b64#AA==\n]"), A({B({1, 2, 3}), B({}), B({0})})));
  EXPECT_TRUE(same(parse(print(A({B({1, 2}), B({})}))), A({B({1, 2}), B({})})));
  // '}' ends a payload too, so a member missing its ';' gets the usual error.
  expect_parse_error("{a: b64#AQID}", 1, 14, "expected ';', got '}'");
  struct Case {
    std::string_view text;
    std::uint64_t line, col;
    std::string_view description;
  };
  const Case cases[] = {
      {"{a: b64#AQ ID;}", 1, 14, "Invalid symbol 32, offset 2."},
      //                     ^ at the ';' that ends the payload
      {"b64#A\xC3\xA9" "A", 1, 8, "Invalid symbol 195, offset 1."},
      {"b64#AQID//c\n", 2, 1, "Invalid padding"},  // comment markers are payload
      {"[b64#A]", 1, 7, "Invalid input length: 1"},
      {"[b64#AQ,]", 1, 8, "Invalid padding"},
      {"b64#AR==", 1, 9, "Invalid last symbol 82, offset 1."},
      {"b64#\xFF", 1, 6, "Invalid symbol 255, offset 0."},
  };
  for (const Case& c : cases) expect_parse_error(c.text, c.line, c.col, "invalid base64: " + std::string(c.description));
}

TEST(text_test, rejects_text_after_the_value) {
  EXPECT_TRUE(same(parse("1\n"), U(1)));
  EXPECT_TRUE(same(parse(" {} /* end */ // really\n\n"), O({})));
  expect_parse_error("1 2", 1, 3, "unexpected character: '2'");
  expect_parse_error("true false", 1, 6, "unexpected character: 'f'");
  expect_parse_error("[]\n ]", 2, 2, "unexpected character: ']'");
  // A byte-order mark is not whitespace.
  expect_parse_error("\xEF\xBB\xBF" "1", 1, 1, "unexpected character: '\xEF\xBB\xBF'");
}

TEST(text_test, limits_nesting_to_128) {
  const auto nested = [](int n, std::string_view open, std::string_view close) {
    std::string s;
    for (int i = 0; i < n; ++i) s += open;
    s += "0";
    for (int i = 0; i < n; ++i) s += close;
    return s;
  };
  auto ok = parse(nested(128, "[", "]"));
  ASSERT_TRUE(ok.has_value()) << ok.error().message();
  EXPECT_TRUE(parse(nested(64, "[{k:", ";}]")).has_value());
  expect_parse_error(nested(129, "[", "]"), 1, 129, "nesting depth exceeds maximum 128");
  expect_parse_error(nested(65, "{k:[", "];}"), 1, 4 * 64 + 1, "nesting depth exceeds maximum 128");
  expect_parse_error(std::string(1'000'000, '['), 1, 129, "nesting depth exceeds maximum 128");
}

TEST(text_test, rejects_malformed_utf8_where_it_is_read) {
  struct Case {
    std::string_view text;
    std::uint64_t col;
  };
  const Case cases[] = {
      {"\xFF", 1},
      {"\"a\xFF\"", 3},
      {"\"a\\\xFF\"", 4},
      {"[1, \xC3]", 5},             // truncated sequence
      {"\"\xC0\x80\"", 2},          // overlong NUL
      {"\"\xED\xA0\x80\"", 2},      // surrogate
      {"\"\xF4\x90\x80\x80\"", 2},  // above U+10FFFF
      {"// \xFF\n1", 4},
      {"/* \xFF */ 1", 4},
      {"{a\xFF: 1;}", 3},
      {"{\xFF: 1;}", 2},
      {"1 \xFF", 3},
  };
  for (const Case& c : cases) expect_parse_error(c.text, 1, c.col, "invalid UTF-8");
}

// ---- Properties ----

// The value a printed `v` reads back as: positive Ints come back as UInts,
// every NaN as the canonical one.
Value read_back_form(const Value& v) {
  switch (v.kind()) {
    case Kind::Int: return v.as_int() > 0 ? U(static_cast<std::uint64_t>(v.as_int())) : v;
    case Kind::Float: return std::isnan(v.as_float()) ? F(std::bit_cast<double>(canonical_nan_bits)) : v;
    case Kind::Array: {
      Array a;
      for (const Value& e : v.as_array()) a.push_back(read_back_form(e));
      return A(std::move(a));
    }
    case Kind::Object: {
      Object o;
      for (const Member& m : v.as_object()) o.push_back({m.key, read_back_form(m.value)});
      return O(std::move(o));
    }
    default: return v;
  }
}

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  Value value(int depth) {
    const int kind = pick(depth > 0 ? 9 : 7);
    switch (kind) {
      case 0: return Value::null();
      case 1: return Value::boolean(pick(2));
      case 2: return U(pick(2) ? pick(10) : rng_());
      case 3: return I(pick(2) ? pick(21) - 10 : static_cast<std::int64_t>(rng_()));
      case 4: return F(real());
      case 5: return S(text());
      case 6: {
        Bytes b(pick(8));
        for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
        return B(std::move(b));
      }
      case 7: {
        Array a(pick(pick(2) ? 12 : 4));
        for (auto& e : a) e = value(depth - 1);
        return A(std::move(a));
      }
      default: {
        Object o(pick(5));
        for (auto& m : o) m = {pick(2) ? identifier() : text(), value(depth - 1)};
        return O(std::move(o));
      }
    }
  }

  std::uint64_t pick(std::uint64_t n) { return rng_() % n; }

 private:
  double real() {
    switch (pick(4)) {
      case 0: return std::bit_cast<double>(rng_());  // any bits: NaNs, subnormals, infinities
      case 1: return static_cast<double>(pick(2000)) - 1000.0;
      case 2: return (static_cast<double>(pick(1'000'000)) - 500'000.0) / 1024.0;
      default: return std::ldexp(static_cast<double>(rng_() >> 11), static_cast<int>(pick(200)) - 120);
    }
  }
  std::string identifier() {
    static constexpr std::string_view pieces[] = {"a", "Z", "_", "k2", "ж", "x٣", "null", "é"};
    std::string s(pieces[pick(3)]);
    for (std::uint64_t n = pick(4); n > 0; --n) s += pieces[pick(std::size(pieces))];
    return s;
  }
  std::string text() {
    static constexpr std::string_view pieces[] = {
        "a", " ", "\"", "\\", "\n", "\t", "\r", "\x01", "é", "€", "𝄞", ";", ",", "]", "}",
        "/*", "//", "::", "b64#", "\\n", std::string_view("\0", 1)};
    std::string s;
    for (std::uint64_t n = pick(6); n > 0; --n) s += pieces[pick(std::size(pieces))];
    return s;
  }

  std::mt19937_64 rng_;
};

TEST(text_test, printed_trees_read_back) {
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    Generator gen(seed);
    const Value v = gen.value(static_cast<int>(gen.pick(6)));
    const std::uint64_t indent = gen.pick(5);
    SCOPED_TRACE(::testing::Message() << "seed " << seed << ", indent " << indent);
    const std::string text = print(v, indent);
    const auto back = parse(text);
    ASSERT_TRUE(same(back, read_back_form(v))) << text;
    // What the parser produces prints and reads back exactly.
    EXPECT_EQ(print(*back, indent), print(read_back_form(v), indent));
  }
}

// Every outcome of a parse is a value or a TextParse error at a position
// inside the text (or just past its end), and validating alone (a builder
// that builds nothing) reaches the same verdict with the same error.
void expect_sane_outcome(std::string_view text) {
  const auto r = parse(text);
  NullBuilder nothing;
  const auto valid = parse_into(text, nothing);
  ASSERT_EQ(valid.has_value(), r.has_value()) << text;
  if (!r) {
    EXPECT_EQ(valid.error(), r.error()) << text;
  }
  if (r) {
    const auto again = parse(print(*r, 1));
    EXPECT_TRUE(same(again, *r)) << text;
    return;
  }
  ASSERT_EQ(r.error().kind(), ErrorKind::TextParse) << r.error().message();
  std::uint64_t lines = 1;
  std::size_t line_start = 0;
  std::vector<std::size_t> line_length;  // bytes, an upper bound on columns
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      line_length.push_back(i - line_start);
      line_start = i + 1;
      if (i < text.size()) ++lines;
    }
  }
  const std::uint64_t line = r.error().line();
  const std::uint64_t col = r.error().column();
  ASSERT_GE(line, 1u);
  ASSERT_LE(line, lines) << text;
  EXPECT_GE(col, 1u);
  EXPECT_LE(col, line_length[line - 1] + 1) << text;
}

TEST(text_test, random_and_mutated_texts_give_a_value_or_a_positioned_error) {
  static constexpr std::string_view tokens[] = {
      "[", "]", "{", "}", ";", ",", ":", "::", "\"", "\\", " ", "\n", "/*", "*/", "//", "-", "+",
      ".", "e", "0", "7", "null", "true", "inf", "-inf", "NaN", "b64#", "AQ==", "a", "é", "\xFF",
      "\xC3", "\u3000"};
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = static_cast<int>(rng() % 24); n > 0; --n) text += tokens[rng() % std::size(tokens)];
    SCOPED_TRACE(::testing::Message() << "round " << round);
    expect_sane_outcome(text);
  }
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    Generator gen(seed);
    const Value v = gen.value(4);
    std::string text = print(v, gen.pick(3));
    for (std::uint64_t n = 1 + gen.pick(3); n > 0 && !text.empty(); --n) {
      const std::size_t at = gen.pick(text.size());
      switch (gen.pick(3)) {
        case 0: text[at] = static_cast<char>(gen.pick(256)); break;
        case 1: text.erase(at, 1 + gen.pick(3)); break;
        default: text.insert(at, 1, "[]{};,:\"\\/*b#\n"[gen.pick(14)]);
      }
    }
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    expect_sane_outcome(text);
  }
}

}  // namespace
}  // namespace tuvax
