#ifndef TUVAX_PY_TEXT_CONVERT_HPP
#define TUVAX_PY_TEXT_CONVERT_HPP

#include "python.hpp"

#include <cstdint>
#include <string_view>

#include "py_walk.hpp"  // WalkMode

namespace tuvax::py {

// The text notation of `obj` (borrowed), `indent` spaces per level, written
// straight from the Python objects, walked in `mode`: a new str, or nullptr
// with an exception set. Conversion failures are encode's (TypeError,
// OverflowError, UnicodeEncodeError, RecursionError) and come first wherever
// they are; then ValueError (text_nesting_message) for a container inside
// 128 others, MemoryError for an indentation or output that cannot be
// allocated. Each carries the JSON path of its value as a note.
[[nodiscard]] PyObject* pretty_print_object(PyObject* obj, std::uint64_t indent, WalkMode mode = {});

// The object `text` (UTF-8, borrowed) reads as, built straight from the
// text: a new reference, or nullptr with an exception set (ValueError
// "parse error: {e}" for bad text, MemoryError). With `comments`, the
// number of comments the parse skipped goes there.
[[nodiscard]] PyObject* parse_text_object(std::string_view text, std::uint64_t* comments = nullptr);

}  // namespace tuvax::py

#endif  // TUVAX_PY_TEXT_CONVERT_HPP
