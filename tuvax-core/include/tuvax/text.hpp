#ifndef TUVAX_TEXT_HPP
#define TUVAX_TEXT_HPP

#include <cstdint>
#include <string>
#include <string_view>

#include "tuvax/builder.hpp"
#include "tuvax/error.hpp"
#include "tuvax/value.hpp"

namespace tuvax {

// Writes `value` as indented text notation, `indent` spaces per nesting level
// (0 allowed), with no leading whitespace and no trailing line break.
//
// Errors:
//  - NestingTooDeep(128, 128): a container inside 128 others, which parse()
//    would refuse; 128 nested containers are written.
//  - MemoryLimitExceeded(requested, limit), in two cases: a line's
//    indentation, `indent` x level, exceeds 1 GiB (2^30 spaces): requested is
//    that product, or 2^64-1 when it overflows, limit 2^30; or the output
//    cannot be allocated: requested is the output size being reached, limit
//    the largest size a std::string can hold.
// Nothing throws. The Python layer raises ValueError for the first and
// MemoryError for the second.
//
// Example: an Object {a: UInt 1} with indent 2 gives "{\n  a: 1;\n}".
[[nodiscard]] Result<std::string> pretty_print(const Value& value, std::uint64_t indent);

// Reads exactly one value in text notation, with whitespace and comments
// allowed around it; any other text after it is an error. The result owns
// copies of all its strings; `text` is only borrowed for the call.
//
// Error: TextParse(line, col, message), line and column 1-based, columns
// counted in characters. Arrays and objects nest at most 128 deep. Input
// that is not valid UTF-8 fails with "invalid UTF-8" at the first malformed
// byte that is read (inside a byte string it is reported by the base64
// decoder as an invalid symbol instead).
[[nodiscard]] Result<Value> parse(std::string_view text);

// The reader behind parse(), handing the value to any builder instead:
// TreeBuilder gives parse(), NullBuilder only validates. true: the builder
// received one whole value; false: the builder stopped (its own failure,
// not a core error). The errors are exactly parse()'s. Strings and keys
// given to the builder are valid UTF-8 and live only for the event; `ascii`
// is true when every byte is known to be below 0x80.
template <ValueBuilder B>
[[nodiscard]] Result<bool> parse_into(std::string_view text, B& builder);

// What a parse read besides the value, for a caller that writes the value
// back and would lose it.
struct ParseCounts {
  std::uint64_t comments = 0;  // "//" and "/* */" comments, one per outermost block comment
};

// parse_into(), counting into `counts` what it skipped up to the end of the
// text or the error.
template <ValueBuilder B>
[[nodiscard]] Result<bool> parse_into(std::string_view text, B& builder, ParseCounts& counts);

}  // namespace tuvax

#include "tuvax/detail/text_reader.hpp"

namespace tuvax {

template <ValueBuilder B>
Result<bool> parse_into(std::string_view text, B& builder) {
  detail::TextReader<B> reader(text, builder);
  return reader.run();
}

template <ValueBuilder B>
Result<bool> parse_into(std::string_view text, B& builder, ParseCounts& counts) {
  detail::TextReader<B> reader(text, builder);
  auto r = reader.run();
  counts.comments = reader.comments();
  return r;
}

}  // namespace tuvax

#endif  // TUVAX_TEXT_HPP
