#ifndef TUVAX_TEXT_PARSER_HPP
#define TUVAX_TEXT_PARSER_HPP

// The cursor of the text notation reader, private to the core: parse() in
// text.hpp is the public entry. Declared here so the lexical layer can be
// tested on its own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tuvax/error.hpp"
#include "tuvax/value.hpp"
#include "tuvax/detail/utf8.hpp"

namespace tuvax::detail {

// Arrays and objects nested inside one another, at most; the same bound as
// the binary format's default max_depth.
inline constexpr std::uint64_t text_max_depth = 128;

// A forward-only cursor over one input text that knows the line and column of
// the next unread character. Lines start after each LF only; columns count
// characters (code points), not bytes. The input is borrowed and must outlive
// the Parser; it is never copied.
//
// Input that is not valid UTF-8 does not break the cursor: a malformed byte
// reads as `invalid_char` one byte and one column wide, and every place that
// needs a character fails on it with "invalid UTF-8" at that byte.
class Parser {
 public:
  // What advance() and peek() give at the end of the input.
  static constexpr char32_t end_of_input = 0xFFFFFFFE;
  // What advance() and peek() give for a byte that does not start a
  // well-formed UTF-8 sequence.
  static constexpr char32_t invalid_char = detail::invalid_char;

  explicit Parser(std::string_view input) noexcept : input_(input) {}

  std::uint64_t pos() const noexcept { return pos_; }
  std::uint64_t line() const noexcept { return line_; }
  std::uint64_t col() const noexcept { return col_; }

  // The next character without consuming it.
  char32_t peek() const noexcept;

  // Consumes and returns the next character; at the end of the input returns
  // end_of_input and changes nothing.
  char32_t advance() noexcept;

  // Consumes whitespace (the Unicode White_Space property), "//" line
  // comments and nestable "/* */" block comments. An unclosed block comment
  // runs to the end of the input. Never fails; stops in front of a malformed
  // byte so that the caller reports it.
  void skip_whitespace_and_comments() noexcept;

  // Skips whitespace and comments, then consumes one character, which must
  // be `c`. Errors: "expected '{c}', got EOF" at the end of the input;
  // "expected '{c}', got '{x}'" just after x.
  [[nodiscard]] Result<void> expect(char32_t c);

  // Reads a double-quoted string (after skipping whitespace and comments) and
  // returns its text with the escapes \" \\ \n \r \t applied; any other
  // backslash pair is kept as it is. Errors: the expect('"') ones,
  // "unterminated string", "unterminated string escape" (both at the end of
  // the input).
  [[nodiscard]] Result<std::string> parse_quoted_string();

  // Consumes "::" and the identifier characters after it, when "::" starts
  // right here; otherwise consumes nothing. Never fails.
  void skip_type_annotation() noexcept;

  // Reads one value starting here, leaving the cursor just after it. Errors:
  // TextParse with this cursor's position; "nesting depth exceeds maximum
  // 128" at an opening bracket that would nest deeper than text_max_depth.
  [[nodiscard]] Result<Value> parse_value();

  // Reads one value and requires nothing but whitespace and comments after
  // it: other text fails with "unexpected character: '{c}'" at c.
  [[nodiscard]] Result<Value> parse_document();

 private:
  // An error at the current position.
  TuvaxError error(std::string message) const;
  TuvaxError unexpected_here() const;  // for the character at pos_

  bool starts_with(std::string_view s) const noexcept {
    return input_.substr(pos_).starts_with(s);
  }
  // Consumes `n` bytes known to be ASCII other than LF.
  void skip_ascii(std::size_t n) noexcept {
    pos_ += n;
    col_ += n;
  }
  // A literal's bytes, then its annotation.
  Value literal(std::size_t len, Value v) noexcept;

  // Everything but arrays and objects, `c` being the next character.
  Result<Value> parse_scalar(char32_t c);
  Result<Value> parse_number();
  Result<Value> parse_bytes();
  Result<Value> parse_array();
  Result<Value> parse_object();
  Result<std::string> parse_key();

  std::string_view input_;
  std::uint64_t pos_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t col_ = 1;
  std::uint64_t depth_ = 0;  // arrays and objects open around the cursor
};

}  // namespace tuvax::detail

#endif  // TUVAX_TEXT_PARSER_HPP
