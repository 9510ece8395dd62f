// Python str objects from UTF-8 text known to be valid: the strings the
// readers (binary and text) hand to the builder, and pretty_print's result.
#ifndef TUVAX_PY_STR_HPP
#define TUVAX_PY_STR_HPP

#include "python.hpp"

#include <string_view>

namespace tuvax::py {

// A new str of `s`, which must be valid UTF-8; `ascii` when every byte is
// known to be below 0x80. nullptr with an exception set on failure.
PyObject* str_from_utf8(std::string_view s, bool ascii);
// The same, for text whose largest byte is known to fall where `widest`
// does: below 0x80, up to 0xC3, up to 0xEF, or from 0xF0 on (a writer's
// TextWriter::widest()), so that the text is not scanned for it again.
PyObject* str_from_utf8_widest(std::string_view s, unsigned char widest);

}  // namespace tuvax::py

#endif  // TUVAX_PY_STR_HPP
