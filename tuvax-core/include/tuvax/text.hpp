#ifndef TUVAX_TEXT_HPP
#define TUVAX_TEXT_HPP

#include <cstdint>
#include <string>
#include <string_view>

#include "tuvax/error.hpp"
#include "tuvax/value.hpp"

namespace tuvax {

// Writes `value` as indented text notation, `indent` spaces per level, with no
// trailing line break. Error: MemoryLimitExceeded(requested, limit) when the
// indentation a line needs cannot be represented or allocated.
[[nodiscard]] Result<std::string> pretty_print(const Value& value, std::uint64_t indent);

// Reads exactly one value in text notation (whitespace and comments around it
// allowed). Error: TextParse(line, col, message), columns counted in characters.
[[nodiscard]] Result<Value> parse(std::string_view text);

}  // namespace tuvax

#endif  // TUVAX_TEXT_HPP
