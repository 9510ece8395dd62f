#ifndef TUVAX_DETAIL_TEXT_WRITER_HPP
#define TUVAX_DETAIL_TEXT_WRITER_HPP

// The one writer of the text notation's layout: indentation, the bare-key
// test, string escapes, the float, integer and byte-string forms. Walkers
// (the core's over a Value tree, the Python module's over Python objects)
// decide the shape, inline or block, and call it in document order; it
// appends to one growing buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy, std::memset
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "tuvax/detail/buffer.hpp"
#include "tuvax/detail/text_reader.hpp"  // text_max_depth
#include "tuvax/error.hpp"

namespace tuvax::detail {

// Arrays of at most this many elements, each null, a boolean, a number or a
// string, are written on one line.
inline constexpr std::size_t max_inline_elements = 8;

// The most spaces one line may be indented by. Far beyond any readable
// layout, it keeps a huge indent from asking for absurd allocations (or
// wrapping around) and turns it into an error value instead.
inline constexpr std::uint64_t max_line_indentation = std::uint64_t{1} << 30;

// A key written without quotes reads back as an identifier: an alphabetic
// character or '_', then alphabetic, numeric or '_' ones (any script).
bool is_bare_key_unicode(std::string_view key) noexcept;  // text.cpp

enum class KeyForm : std::uint8_t { quoted, bare_ascii, bare };

inline KeyForm key_form(std::string_view key) noexcept {
  if (key.empty()) return KeyForm::quoted;
  const auto* s = reinterpret_cast<const std::uint8_t*>(key.data());
  std::size_t i = 0;
  if (ascii_classes[s[0]] & ascii_ident_start) {
    for (i = 1; i < key.size() && (ascii_classes[s[i]] & ascii_ident_continue); ++i) {
    }
    if (i == key.size()) return KeyForm::bare_ascii;
  }
  if (s[i] < 0x80) return KeyForm::quoted;
  return is_bare_key_unicode(key) ? KeyForm::bare : KeyForm::quoted;
}

class TextWriter {
 public:
  // Appends to `out`, which must outlive the writer.
  TextWriter(OutputBuffer& out, std::uint64_t indent) noexcept : out_(out), indent_(indent) {}

  // The first failure, if any: NestingTooDeep(128, 128) for a container
  // inside 128 others (the reader would refuse it), MemoryLimitExceeded for
  // an indentation over max_line_indentation or a buffer that cannot grow.
  // After a failure the output is incomplete and writes are ignored.
  bool ok() const noexcept { return !error_; }
  const std::optional<TuvaxError>& error() const noexcept { return error_; }
  const OutputBuffer& buffer() const noexcept { return out_; }
  OutputBuffer& buffer() noexcept { return out_; }

  // ---- Scalars ----
  void null() { put("null"); }
  void boolean(bool b) { put(b ? std::string_view("true") : std::string_view("false")); }
  void uint(std::uint64_t v);
  // Zero is written "-0", so that it reads back as a signed integer.
  void integer(std::int64_t v);
  void real(double d);
  void str(std::string_view s);
  void bytes(std::span<const std::uint8_t> b);

  // ---- Containers ----
  // Every container counts one level, whatever its form.
  bool empty_array() { return leaf_container() && put("[]"); }
  bool empty_object() { return leaf_container() && put("{}"); }
  bool open_inline_array() { return leaf_container() && put("["); }
  void inline_separator() { put(", "); }
  void close_inline_array() { put("]"); }

  // "[" or "{" and a line break; the members follow one level deeper.
  bool open_block(bool object) {
    if (depth_ == text_max_depth) return nesting_failure();
    ++depth_;
    return put(object ? std::string_view("{\n") : std::string_view("[\n"));
  }
  // Before an element of a block array: the line break that ends the
  // previous one, then the indentation; the caller writes the value.
  bool element(bool first) { return (first || put(",\n")) && indentation(depth_); }
  // A member of an object: indentation, the key, ": "; then the caller
  // writes the value and calls member_end().
  bool member(std::string_view key);
  void member_end() { put(";\n"); }
  bool close_block(bool object) {
    if (!object && !put("\n")) return false;
    --depth_;
    return indentation(depth_) && put(object ? std::string_view("}") : std::string_view("]"));
  }

  // True when every byte written so far is below 0x80.
  bool ascii() const noexcept { return ascii_; }

 private:
  bool put(std::string_view s) {
    if (!reserve(s.size())) return false;
    std::memcpy(out_.end(), s.data(), s.size());
    out_.advance(s.size());
    return true;
  }
  bool reserve(std::size_t n) { return out_.reserve(n) || memory_failure(n); }
  bool leaf_container() { return depth_ < text_max_depth || nesting_failure(); }
  bool indentation(std::uint64_t depth);
  void quoted(std::string_view s);
  bool nesting_failure();
  bool memory_failure(std::uint64_t wanted);
  bool fail(TuvaxError e);

  OutputBuffer& out_;
  const std::uint64_t indent_;
  std::uint64_t depth_ = 0;  // block containers open around the write position
  bool ascii_ = true;
  std::optional<TuvaxError> error_;
};

inline bool TextWriter::indentation(std::uint64_t depth) {
  if (depth == 0) return true;
  if (indent_ > max_line_indentation / depth) {
    // The product is over the bound; name it, or 2^64-1 when it wraps.
    const std::uint64_t spaces =
        indent_ > std::numeric_limits<std::uint64_t>::max() / depth ? std::numeric_limits<std::uint64_t>::max()
                                                                     : indent_ * depth;
    if (spaces > max_line_indentation)
      return fail(TuvaxError::memory_limit_exceeded(spaces, max_line_indentation));
  }
  const std::size_t spaces = static_cast<std::size_t>(indent_ * depth);
  if (!reserve(spaces)) return false;
  std::memset(out_.end(), ' ', spaces);
  out_.advance(spaces);
  return true;
}

inline bool TextWriter::member(std::string_view key) {
  if (!indentation(depth_)) return false;
  const KeyForm form = key_form(key);
  if (form != KeyForm::quoted) {
    if (form == KeyForm::bare) ascii_ = false;
    if (!reserve(key.size() + 2)) return false;
    std::memcpy(out_.end(), key.data(), key.size());
    std::memcpy(out_.end() + key.size(), ": ", 2);
    out_.advance(key.size() + 2);
    return true;
  }
  quoted(key);
  return put(": ");
}

}  // namespace tuvax::detail

#endif  // TUVAX_DETAIL_TEXT_WRITER_HPP
