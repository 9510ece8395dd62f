#ifndef TUVAX_TEXT_HPP
#define TUVAX_TEXT_HPP

#include <cstdint>
#include <string>
#include <string_view>

#include "tuvax/error.hpp"
#include "tuvax/value.hpp"

namespace tuvax {

// Writes `value` as indented text notation, `indent` spaces per nesting level
// (0 allowed), with no leading whitespace and no trailing line break. Deep
// trees are walked without recursion.
//
// Error: MemoryLimitExceeded(requested, limit) only. Two cases:
//  - a line's indentation, `indent` x level, exceeds 1 GiB (2^30 spaces):
//    requested is that product, or 2^64-1 when it overflows, limit 2^30;
//  - the output cannot be allocated: requested is the output size being
//    reached, limit the largest size a std::string can hold.
// Nothing throws. The Python layer raises MemoryError with the message.
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

}  // namespace tuvax

#endif  // TUVAX_TEXT_HPP
