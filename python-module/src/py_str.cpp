#include "python.hpp"

#include "py_str.hpp"

#include <algorithm>  // std::max
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy

#include <simdutf.h>

#include "errors.hpp"
#include "tuvax/detail/buffer.hpp"  // advise_huge_pages, populate_missing_pages

namespace tuvax::py {
namespace {

constexpr std::size_t large_str_bytes = std::size_t{2} << 20;

// A str of megabytes (a printed document, say) is written into fresh
// memory: huge pages spare it a page fault per 4 KiB, and its pages are
// made resident in one call. In a loop it mostly gets the memory of the
// last call's result back, resident already but for what the allocator
// gave back: only that is populated.
PyObject* new_str(Py_ssize_t chars, Py_UCS4 max_char) {
  PyObject* obj = PyUnicode_New(chars, max_char);
  if (obj != nullptr) {
    const auto bytes = static_cast<std::size_t>(chars) * PyUnicode_KIND(obj);
    if (bytes >= large_str_bytes) {
      tuvax::detail::advise_huge_pages(PyUnicode_DATA(obj), bytes, 0);
      tuvax::detail::populate_missing_pages(PyUnicode_DATA(obj), bytes);
    }
  }
  return obj;
}

}  // namespace

PyObject* str_from_utf8(std::string_view s, bool ascii) {
  std::uint8_t widest = 0;
  if (!ascii) {
    for (const char c : s) widest = std::max(widest, static_cast<std::uint8_t>(c));
  }
  return str_from_utf8_widest(s, widest);
}

PyObject* str_from_utf8_widest(std::string_view s, unsigned char widest) {
  const char* p = s.data();
  const std::size_t n = s.size();
  if (widest < 0x80) {
    PyObject* obj = new_str(static_cast<Py_ssize_t>(n), 127);
    if (obj != nullptr && n != 0) std::memcpy(PyUnicode_1BYTE_DATA(obj), p, n);
    return obj;
  }
  // The text is valid UTF-8, so the vectorised counting and transcoding
  // routines that trust their input apply. The widest byte picks the str's
  // kind: leads C2/C3 make characters up to U+00FF, C4 to EF up to U+FFFF,
  // F0 and above the rest.
  const auto chars = static_cast<Py_ssize_t>(simdutf::count_utf8(p, n));
  PyObject* obj = nullptr;
  std::size_t written = 0;
  if (widest >= 0xF0) {
    obj = new_str(chars, 0x10FFFF);
    if (obj != nullptr)
      written = simdutf::convert_valid_utf8_to_utf32(p, n, reinterpret_cast<char32_t*>(PyUnicode_4BYTE_DATA(obj)));
  } else if (widest >= 0xC4) {
    // No character above U+FFFF, so UTF-16 is exactly the str's UCS-2.
    obj = new_str(chars, 0xFFFF);
    if (obj != nullptr)
      written = simdutf::convert_valid_utf8_to_utf16(p, n, reinterpret_cast<char16_t*>(PyUnicode_2BYTE_DATA(obj)));
  } else {
    obj = new_str(chars, 0xFF);
    if (obj != nullptr)
      written = simdutf::convert_valid_utf8_to_latin1(p, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(obj)));
  }
  if (obj != nullptr && written != static_cast<std::size_t>(chars)) {
    // Only text that is not valid UTF-8 after all could get here.
    Py_DECREF(obj);
    raise_internal_failure("decoded text did not transcode to its own length");
    return nullptr;
  }
  return obj;
}

}  // namespace tuvax::py
