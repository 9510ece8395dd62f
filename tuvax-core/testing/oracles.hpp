#ifndef TUVAX_TESTING_ORACLES_HPP
#define TUVAX_TESTING_ORACLES_HPP

// The properties every input must keep, checked the same way by the fuzz
// targets and by the regression test that replays what the fuzzers found.
// Each check returns an empty string when all properties hold, otherwise a
// description of the first one broken. No GoogleTest here: the fuzz targets
// link without it.

#include <algorithm>  // std::min
#include <bit>  // std::bit_cast
#include <cstring>  // std::memcpy
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"
#include "tuvax/error.hpp"
#include "tuvax/framing.hpp"
#include "tuvax/limits.hpp"
#include "tuvax/text.hpp"
#include "tuvax/value.hpp"
#include "tuvax/detail/utf8.hpp"

#include "doc_framer.hpp"

namespace tuvax::oracle {

using detail::canonical_nan_bits;

inline bool valid_utf8(std::string_view s) noexcept {
  return detail::is_valid_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Strings and keys are UTF-8 and containers nest at most max_depth deep.
// `weight` accumulates string bytes and nodes, so callers can skip checks
// whose cost would explode on an input that legitimately expands.
inline std::string check_invariants(const Value& v, std::uint64_t depth, std::uint64_t& weight) {
  weight += 1;
  switch (v.kind()) {
    case Kind::Str:
      weight += v.as_str().size();
      if (!valid_utf8(v.as_str())) return "a Str holds invalid UTF-8";
      return {};
    case Kind::Bytes:
      weight += v.as_bytes().size();
      return {};
    case Kind::Array:
      if (depth >= Limits{}.max_depth) return "containers nest deeper than max_depth";
      for (const Value& e : v.as_array())
        if (auto bad = check_invariants(e, depth + 1, weight); !bad.empty()) return bad;
      return {};
    case Kind::Object:
      if (depth >= Limits{}.max_depth) return "containers nest deeper than max_depth";
      for (const Member& m : v.as_object()) {
        weight += m.key.size();
        if (!valid_utf8(m.key)) return "an object key holds invalid UTF-8";
        if (auto bad = check_invariants(m.value, depth + 1, weight); !bad.empty()) return bad;
      }
      return {};
    default:
      return {};
  }
}

// What a value reads back as from its text form: a positive Int comes back as
// a UInt, every NaN as the canonical quiet NaN.
inline Value normalize_for_text(const Value& v) {
  switch (v.kind()) {
    case Kind::Int:
      return v.as_int() > 0 ? Value::uint(static_cast<std::uint64_t>(v.as_int())) : v;
    case Kind::Float:
      return v.as_float() != v.as_float() ? Value::real(std::bit_cast<double>(canonical_nan_bits)) : v;
    case Kind::Array: {
      Array out;
      out.reserve(v.as_array().size());
      for (const Value& e : v.as_array()) out.push_back(normalize_for_text(e));
      return Value::array(std::move(out));
    }
    case Kind::Object: {
      Object out;
      out.reserve(v.as_object().size());
      for (const Member& m : v.as_object()) out.push_back({m.key, normalize_for_text(m.value)});
      return Value::object(std::move(out));
    }
    default:
      return v;
  }
}

inline bool is_decoder_error(ErrorKind k) noexcept {
  switch (k) {
    case ErrorKind::Io:
    case ErrorKind::UnsupportedVersion:
    case ErrorKind::TextParse:
    case ErrorKind::SchemaMismatch:
    case ErrorKind::InvalidBase64:
      return false;
    default:
      return true;
  }
}

// What an encoder made of values given one at a time.
struct Encoded {
  std::vector<std::uint8_t> doc;
  std::vector<const Value*> accepted;  // the values it took, in order
  std::string unexplained;             // the first refusal `explained` did not allow
};

// The refusals a decoded or parsed value may legitimately meet when it is
// encoded: string references expand to whole strings, a shared string counts
// in the dictionary as well, and text has no string limits at all.
inline bool size_limit(ErrorKind k) noexcept {
  return k == ErrorKind::MemoryLimitExceeded || k == ErrorKind::BlockTooLarge;
}

// Every value is given to an encoder that holds the document and to one that
// streams each block as it closes; the two must agree on every value and
// write the same bytes.
template <typename Explained = decltype(&size_limit)>
inline Encoded encode_each(const std::vector<Value>& values, bool dedup, const Limits& limits = {},
                           Explained explained = &size_limit) {
  Encoded out;
  Encoder enc(limits);
  VectorSink sink;
  BlockWriter blocks(sink);
  Encoder streamed(blocks, limits);
  if (dedup) {
    enc.enable_dedup();
    streamed.enable_dedup();
  }
  for (const Value& v : values) {
    auto r = enc.encode_value(v);
    if (streamed.encode_value(v).has_value() != r.has_value() && out.unexplained.empty())
      out.unexplained = "the streaming encoder took another decision on a value";
    if (r) {
      out.accepted.push_back(&v);
    } else if (!explained(r.error().kind()) && out.unexplained.empty()) {
      out.unexplained = r.error().message();
    }
  }
  if (auto doc = std::move(enc).finish()) {
    out.doc = std::move(*doc);
  } else if (out.unexplained.empty()) {
    out.unexplained = "finish failed: " + doc.error().message();
  }
  if (auto r = streamed.finish_stream(); (!r || sink.out != out.doc) && out.unexplained.empty())
    out.unexplained = "the streaming encoder wrote other bytes than the whole-document one";
  return out;
}

// A stream that hands out its bytes a few at a time, as a pipe may.
class TrickleSource final : public StreamSource {
 public:
  explicit TrickleSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::size_t taken() const noexcept { return at_; }

 private:
  Result<std::size_t> read_some(std::uint8_t* out, std::size_t n) override {
    n = std::min({n, bytes_.size() - at_, std::size_t{3}});
    std::memcpy(out, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// Reading a document from a stream a block at a time gives what reading it
// from memory gives: the same values, or the same error at the same place,
// and nothing is read past the trailer.
inline std::string check_streamed_read(std::span<const std::uint8_t> input) {
  Decoder whole(input);
  auto expected = whole.decode_all_owned();
  TrickleSource source(input);
  Decoder streamed(source);
  auto got = streamed.decode_all_owned();
  if (expected.has_value() != got.has_value()) return "a streamed read and a read in memory disagree on success";
  if (!got) {
    if (!(got.error() == expected.error()) || got.error().block() != expected.error().block())
      return "a streamed read failed otherwise than the read in memory: " + got.error().message() + " / " +
             expected.error().message();
    return {};
  }
  if (*got != *expected) return "a streamed read gave other values than the read in memory";
  if (source.taken() != streamed.end_offset()) return "a streamed read went past the trailer";
  return {};
}

// Whatever the encoder accepted reads back as exactly those values, with
// every block payload within `limits`.
inline std::string check_reads_back(const Encoded& e, const Limits& limits) {
  Decoder dec(e.doc);
  auto back = dec.decode_all_owned();
  if (!back) return "a document the encoder wrote does not decode: " + back.error().message();
  if (back->size() != e.accepted.size()) return "the document does not hold the values the encoder accepted";
  for (std::size_t i = 0; i < back->size(); ++i)
    if (!((*back)[i] == *e.accepted[i])) return "decode(encode(v)) differs from v";
  for (const test::RawBlock& b : test::split_document(e.doc).blocks)
    if (b.payload.size() > limits.max_block_size) return "the encoder wrote a block larger than max_block_size";
  return {};
}

// Text: the writer's output reads back as the value (under the reading-back
// rules), and writing what was read back gives the same text.
inline std::string check_text_round_trip(const Value& v, std::uint64_t indent) {
  auto text = pretty_print(v, indent);
  if (!text) return "pretty_print failed: " + text.error().message();
  auto back = parse(*text);
  if (!back) return "parse(pretty_print(v)) failed: " + back.error().message() + "\ntext:\n" + *text;
  if (!(*back == normalize_for_text(v))) return "parse(pretty_print(v)) differs from v\ntext:\n" + *text;
  auto again = pretty_print(*back, indent);
  if (!again || *again != *text) return "pretty_print is not stable\nfirst:\n" + *text;
  return {};
}

// Above this many string bytes and nodes, the text round trip of a decoded
// document is skipped: a few kilobytes of references may legitimately expand
// to max_memory, and writing and reading that back is the oracle's cost, not
// the decoder's.
inline constexpr std::uint64_t round_trip_weight_cap = 8u << 20;

// Binary: whatever decodes holds the invariants, encodes again with and
// without sharing, decodes back to the same values, and encodes stably.
// With `round_trips` false only the decode and the invariants are checked.
inline std::string check_binary(std::span<const std::uint8_t> input, bool round_trips,
                                bool* decoded = nullptr) {
  if (auto bad = check_streamed_read(input); !bad.empty()) return bad;
  Decoder dec(input);
  auto values = dec.decode_all_owned();
  if (decoded) *decoded = values.has_value();
  if (!values) {
    if (!is_decoder_error(values.error().kind()))
      return "the decoder raised an error kind it never should: " + values.error().message();
    return {};
  }
  std::uint64_t weight = 0;
  for (const Value& v : *values)
    if (auto bad = check_invariants(v, 0, weight); !bad.empty()) return bad;
  if (weight > Limits{}.max_memory * 2 + input.size() * 64)
    return "decoded values exceed max_memory by more than the input can explain";
  if (!round_trips) return {};

  for (bool dedup : {false, true}) {
    const std::string mode = dedup ? " (dedup)" : " (no dedup)";
    const Encoded e = encode_each(*values, dedup);
    if (!e.unexplained.empty()) return "encoding decoded values failed" + mode + ": " + e.unexplained;
    if (auto bad = check_reads_back(e, Limits{}); !bad.empty()) return bad + mode;
    Decoder again(e.doc);
    auto back = again.decode_all_owned();
    if (!back || encode_each(*back, dedup).doc != e.doc) return "encode(decode(encode(v))) differs from encode(v)" + mode;
  }
  if (weight <= round_trip_weight_cap) {
    // Under small limits blocks split, dictionaries fill up and values meet
    // every limit; whatever the encoder still accepts must read back. The
    // limits vary with the input, so the fuzzer explores them too.
    const Limits small{.max_depth = 2 + input.size() % 7,
                       .max_block_size = 24 + input.size() % 400,
                       .max_items = 1 + input.size() % 13,
                       .max_memory = 64 + input.size() % 3000,
                       .max_string_len = 4 + input.size() % 97};
    for (bool dedup : {false, true}) {
      const std::string mode = dedup ? " (small limits, dedup)" : " (small limits, no dedup)";
      const Encoded e = encode_each(*values, dedup, small, [](ErrorKind) { return true; });
      if (!e.unexplained.empty()) return "encoding under small limits failed" + mode + ": " + e.unexplained;
      if (auto bad = check_reads_back(e, small); !bad.empty()) return bad + mode;
    }
    for (const Value& v : *values)
      if (auto bad = check_text_round_trip(v, 2); !bad.empty()) return "decoded value, " + bad;
  }
  return {};
}

// Text parsing: errors are TextParse with a real position; a parsed value
// holds the invariants, survives the text round trip at two indents, and
// encodes to a document that decodes back to it.
inline std::string check_text(std::string_view input, bool* parsed = nullptr) {
  auto v = parse(input);
  if (parsed) *parsed = v.has_value();
  if (!v) {
    const TuvaxError& e = v.error();
    if (e.kind() != ErrorKind::TextParse) return "parse raised a non-TextParse error: " + e.message();
    if (e.line() < 1 || e.column() < 1) return "parse error without a 1-based position: " + e.message();
    return {};
  }
  // Whatever the input, a parsed value holds only UTF-8 strings and keys.
  std::uint64_t weight = 0;
  if (auto bad = check_invariants(*v, 0, weight); !bad.empty()) return bad;
  // The round trips below start from valid text only.
  if (!valid_utf8(input)) return {};
  if (!(normalize_for_text(*v) == *v)) return "parse produced a value outside the reading-back forms";
  for (std::uint64_t indent : {2, 0})
    if (auto bad = check_text_round_trip(*v, indent); !bad.empty()) return bad;
  std::vector<Value> one;
  one.push_back(*v);
  for (bool dedup : {false, true}) {
    // The text side has no string limits; the binary side refuses at once
    // what its reader would refuse.
    const Encoded e = encode_each(one, dedup);
    if (!e.unexplained.empty()) return "encoding a parsed value failed: " + e.unexplained;
    if (auto bad = check_reads_back(e, Limits{}); !bad.empty()) return bad + " (parsed value)";
  }
  return {};
}

}  // namespace tuvax::oracle

#endif  // TUVAX_TESTING_ORACLES_HPP
