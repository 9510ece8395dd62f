#ifndef TUVAX_DETAIL_TEXT_WRITER_HPP
#define TUVAX_DETAIL_TEXT_WRITER_HPP

// The one writer of the text notation: it takes a value as events, in
// document order (scalars; begin_array, end_array; begin_object, key,
// end_object), and owns the whole layout: which form a container takes,
// what comes before and after each value, indentation, the bare-key test,
// string escapes, the float, integer and byte-string forms. Walkers (the
// core's over a Value tree, the Python module's over Python objects) only
// feed it. It appends to one growing buffer.

#include <array>
#include <bit>  // std::countr_zero
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

// The most elements an array written on one line has (see begin_array).
inline constexpr std::size_t max_inline_elements = 8;

// The most spaces one line may be indented by. Far beyond any readable
// layout, it keeps a huge indent from asking for absurd allocations (or
// wrapping around) and turns it into an error value instead.
inline constexpr std::uint64_t max_line_indentation = std::uint64_t{1} << 30;

// A key written without quotes reads back as an identifier: an alphabetic
// character or '_', then alphabetic, numeric or '_' ones (any script).
bool is_bare_key_unicode(std::string_view key) noexcept;  // text.cpp

enum class KeyForm : std::uint8_t { quoted, bare_ascii, bare };

// The high bit of each byte of `w` that is not an ASCII identifier
// character (a letter, digit or '_'), exactly: no borrow runs between
// bytes, since every sum stays within its byte.
inline constexpr std::uint64_t non_ident_bytes(std::uint64_t w) noexcept {
  const std::uint64_t x = w & ~high_bits;
  // The high bit of each byte of x at or above m (1 <= m <= 0x80).
  const auto at_least = [](std::uint64_t v, std::uint8_t m) { return (v + repeat_byte(0x80 - m)) & high_bits; };
  const std::uint64_t folded = x | repeat_byte(0x20);  // 'A'..'Z' onto 'a'..'z', nothing else onto them
  const std::uint64_t letter = at_least(folded, 'a') & ~at_least(folded, 'z' + 1);
  const std::uint64_t digit = at_least(x, '0') & ~at_least(x, '9' + 1);
  const std::uint64_t y = x ^ repeat_byte('_');
  const std::uint64_t underscore = ~((y + repeat_byte(0x7F)) | y) & high_bits;
  return (~(letter | digit | underscore) | w) & high_bits;
}

// The index of the first byte of s[0, n) (n >= 1) that is not an ASCII
// identifier character, or n. Keys are short and of every length: whole
// words, with no loop exit per byte to mispredict.
inline std::size_t first_non_ident_byte(const std::uint8_t* s, std::size_t n) noexcept {
  if constexpr (!word_scan) {
    std::size_t i = 0;
    while (i < n && (ascii_classes[s[i]] & ascii_ident_continue)) ++i;
    return i;
  }
  std::size_t i = 0;
  std::uint64_t bad = 0;
  if (n >= 8) {
    for (; n - i > 8 && (bad = non_ident_bytes(load_word(s + i))) == 0; i += 8) {
    }
    if (bad == 0) {
      i = n - 8;  // the last word, overlapping what passed
      bad = non_ident_bytes(load_word(s + i));
    }
  } else {
    // Up to seven bytes, read without passing the end; the bytes above
    // them are zero, no identifier character, and masked off.
    std::uint64_t w;
    if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, s, 4);
      std::memcpy(&b, s + n - 4, 4);
      w = a | (std::uint64_t{b} << (8 * (n - 4)));
    } else {
      w = s[0] | (std::uint64_t{s[n / 2]} << (8 * (n / 2))) | (std::uint64_t{s[n - 1]} << (8 * (n - 1)));
    }
    bad = non_ident_bytes(w) & ((std::uint64_t{1} << (8 * n)) - 1);
  }
  return bad == 0 ? n : i + (static_cast<std::size_t>(std::countr_zero(bad)) >> 3);
}

inline KeyForm key_form(std::string_view key) noexcept {
  if (key.empty()) return KeyForm::quoted;
  const auto* s = reinterpret_cast<const std::uint8_t*>(key.data());
  std::size_t i = 0;
  if (ascii_classes[s[0]] & ascii_ident_start) {
    i = first_non_ident_byte(s, key.size());
    if (i == key.size()) return KeyForm::bare_ascii;
  }
  if (s[i] < 0x80) return KeyForm::quoted;
  return is_bare_key_unicode(key) ? KeyForm::bare : KeyForm::quoted;
}

class TextWriter {
 public:
  // Appends to `out`, which must outlive the writer.
  TextWriter(OutputBuffer& out, std::uint64_t indent) noexcept
      : out_(out), indent_(indent), indent_in_bounds_(indent <= max_line_indentation / text_max_depth) {}

  // The first failure, if any: NestingTooDeep(128, 128) for a container
  // inside 128 others (the reader would refuse it), MemoryLimitExceeded for
  // an indentation over max_line_indentation or a buffer that cannot grow.
  // After a failure the output is incomplete and every event is ignored.
  bool ok() const noexcept { return !error_; }
  const std::optional<TuvaxError>& error() const noexcept { return error_; }
  const OutputBuffer& buffer() const noexcept { return out_; }

  // ---- Scalars ----
  void null() { value("null"); }
  void boolean(bool b) { value(b ? std::string_view("true") : std::string_view("false")); }
  void uint(std::uint64_t v) {
    if (before()) put_uint(v), after();
  }
  void integer(std::int64_t v) {
    if (before()) put_int(v), after();
  }
  // Inline into the walks: arrays of numbers are mostly floats, and a call
  // per float cost a tenth of printing them.
  [[gnu::always_inline]] void real(double d) {
    if (before()) put_real(d), after();
  }
  void str(std::string_view s) {
    if (before()) quoted(s), after();
  }
  void bytes(std::span<const std::uint8_t> b) {
    if (before()) put_bytes(b), after();
  }

  // ---- Containers ----
  // An array of `n` elements; inline_at(i) tells whether element i is null,
  // a boolean, a number or a string. Every container counts one level,
  // whatever its form. False when the writer refuses this very container
  // (nested too deep, or no memory for its bracket); after a failure before
  // it the call does nothing and returns true.
  template <class InlineAt>
  bool begin_array(std::size_t n, InlineAt&& inline_at) {
    if (!before()) return true;
    // Arrays of at most max_inline_elements elements, each inline, are
    // written on one line.
    bool one_line = n <= max_inline_elements;
    for (std::size_t i = 0; one_line && i < n; ++i) one_line = inline_at(i);
    return open(n == 0 ? Form::empty_array : one_line ? Form::inline_array : Form::block_array);
  }
  void end_array() { close(); }
  bool begin_object(std::size_t n) { return !before() || open(n == 0 ? Form::empty_object : Form::object); }
  // Each member of an object: its key, then its value. A caller that has
  // the key's form at hand (key_form(k), kept from an earlier time) may
  // give it.
  void key(std::string_view k) { key(k, key_form(k)); }
  void key(std::string_view k, KeyForm form);
  void end_object() { close(); }

  // The largest byte written so far, no longer followed once it reaches
  // 0xF0: below 0x80 for ASCII text, and otherwise what a scan of the text
  // for its widest character would find (C2/C3: up to U+00FF, C4 to EF: up
  // to U+FFFF, F0 and up: beyond), without that scan.
  std::uint8_t widest() const noexcept { return widest_; }

 private:
  // The form of an open container, chosen when it opens.
  enum class Form : std::uint8_t { empty_array, empty_object, inline_array, block_array, object };
  struct Frame {
    Form form;
    bool first;  // no element written yet
  };

  void value(std::string_view text) {
    if (before()) put(text), after();
  }
  // What comes before a value where it stands; false once the writer failed.
  bool before() {
    if (!ok()) return false;
    if (depth_ == 0) return true;
    Frame& f = frames_[depth_ - 1];
    const bool first = std::exchange(f.first, false);
    if (f.form == Form::block_array) return (first || put(",\n")) && indentation(depth_);
    if (f.form == Form::inline_array && !first) return put(", ");
    return true;  // an object member: key() wrote what comes before it
  }
  // After a whole value: an object member ends with ";" and a line break.
  void after() {
    if (ok() && depth_ != 0 && frames_[depth_ - 1].form == Form::object) put(";\n");
  }
  bool open(Form form);
  void close();

  bool put(std::string_view s) {
    if (!reserve(s.size())) return false;
    std::memcpy(out_.end(), s.data(), s.size());
    out_.advance(s.size());
    return true;
  }
  bool reserve(std::size_t n) { return out_.reserve(n) || memory_failure(n); }
  bool indentation(std::uint64_t depth);
  void put_uint(std::uint64_t v);
  void put_int(std::int64_t v);  // zero as "-0", so that it reads back signed
  void put_real(double d);
  void put_bytes(std::span<const std::uint8_t> b);
  void quoted(std::string_view s);
  // Takes note of non-ASCII text in `s`, about to be written.
  void note_wide(std::string_view s) noexcept;
  bool nesting_failure();
  bool memory_failure(std::uint64_t wanted);
  bool fail(TuvaxError e);

  OutputBuffer& out_;
  const std::uint64_t indent_;
  const bool indent_in_bounds_;  // at any depth the writer reaches, within max_line_indentation
  std::array<Frame, text_max_depth> frames_;  // the containers open around the write position
  std::size_t depth_ = 0;
  std::uint8_t widest_ = 0;
  std::optional<TuvaxError> error_;
};

// "[" or "{", and a line break for the block forms; an empty container is
// written whole.
inline bool TextWriter::open(Form form) {
  if (depth_ == text_max_depth) return nesting_failure();
  frames_[depth_++] = {form, true};
  switch (form) {
    case Form::empty_array: return put("[]");
    case Form::empty_object: return put("{}");
    case Form::inline_array: return put("[");
    case Form::block_array: return put("[\n");
    case Form::object: break;
  }
  return put("{\n");
}

// A block closes on a line of its own, at its opening line's indentation.
inline void TextWriter::close() {
  if (!ok()) return;
  const Form form = frames_[--depth_].form;
  if (form == Form::inline_array) {
    put("]");
  } else if (form == Form::block_array) {
    put("\n") && indentation(depth_) && put("]");
  } else if (form == Form::object) {
    indentation(depth_) && put("}");
  }
  after();
}

inline bool TextWriter::indentation(std::uint64_t depth) {
  if (depth == 0) return true;
  if (!indent_in_bounds_ && indent_ > max_line_indentation / depth) {
    // The product is over the bound; name it, or 2^64-1 when it wraps.
    const std::uint64_t spaces =
        indent_ > std::numeric_limits<std::uint64_t>::max() / depth ? std::numeric_limits<std::uint64_t>::max()
                                                                     : indent_ * depth;
    if (spaces > max_line_indentation)
      return fail(TuvaxError::memory_limit_exceeded(spaces, max_line_indentation));
  }
  const std::size_t spaces = static_cast<std::size_t>(indent_ * depth);
  if (!reserve(spaces)) return false;
  // Most lines are indented by a few spaces: one fixed-size copy, inlined,
  // where the room allows (what it writes past the spaces is overwritten).
  static constexpr char space_run[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                         ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  if (spaces <= sizeof space_run && out_.capacity() - out_.size() >= sizeof space_run) {
    std::memcpy(out_.end(), space_run, sizeof space_run);
  } else {
    std::memset(out_.end(), ' ', spaces);
  }
  out_.advance(spaces);
  return true;
}

// A member of an object: indentation, the key, ": "; the value follows.
inline void TextWriter::key(std::string_view key, KeyForm form) {
  if (!ok() || !indentation(depth_)) return;
  if (form == KeyForm::quoted) {
    quoted(key);
    put(": ");
    return;
  }
  if (form == KeyForm::bare) note_wide(key);
  if (!reserve(key.size() + 2)) return;
  std::memcpy(out_.end(), key.data(), key.size());
  std::memcpy(out_.end() + key.size(), ": ", 2);
  out_.advance(key.size() + 2);
}

}  // namespace tuvax::detail

#endif  // TUVAX_DETAIL_TEXT_WRITER_HPP
