#ifndef TUVAX_ERROR_HPP
#define TUVAX_ERROR_HPP

#include <cstdint>
#include <expected>  // std::expected, std::unexpected
#include <optional>
#include <string>
#include <utility>

namespace tuvax {

// The nineteen kinds, in their fixed order. Several are never raised by this
// library (Io, UnsupportedVersion, SchemaMismatch, InvalidBase64) but keep
// their place and text because the numbering is part of the interface.
enum class ErrorKind : std::uint8_t {
  Io,
  InvalidMagic,
  UnsupportedVersion,
  InvalidWireType,
  VarintOverflow,
  UnexpectedEof,
  ChecksumMismatch,
  InvalidUtf8,
  NestingTooDeep,
  BlockTooLarge,
  TooManyItems,
  UnknownCompression,
  Decompression,
  InvalidBlockType,
  TextParse,
  SchemaMismatch,
  MemoryLimitExceeded,
  InvalidBase64,
  InvalidData,
};

inline constexpr int error_kind_count = 19;

// The one error type of the core. Built through one named constructor per
// kind; message() is its only text form.
class TuvaxError {
 public:
  static TuvaxError io(int os_errno);
  static TuvaxError invalid_magic();
  static TuvaxError unsupported_version(std::uint8_t version);
  static TuvaxError invalid_wire_type(std::uint8_t tag);
  static TuvaxError varint_overflow();
  static TuvaxError unexpected_eof(std::uint64_t offset);
  static TuvaxError checksum_mismatch(std::uint64_t expected, std::uint64_t actual);
  static TuvaxError invalid_utf8(std::uint64_t offset);
  static TuvaxError nesting_too_deep(std::uint64_t depth, std::uint64_t max);
  static TuvaxError block_too_large(std::uint64_t size, std::uint64_t max);
  static TuvaxError too_many_items(std::uint64_t count, std::uint64_t max);
  static TuvaxError unknown_compression(std::uint8_t code);
  static TuvaxError decompression(std::string message);
  static TuvaxError invalid_block_type(std::uint8_t type);
  static TuvaxError text_parse(std::uint64_t line, std::uint64_t col, std::string message);
  static TuvaxError schema_mismatch(std::string message);
  static TuvaxError memory_limit_exceeded(std::uint64_t requested, std::uint64_t limit);
  static TuvaxError invalid_base64(std::string message);
  static TuvaxError invalid_data(std::string message);

  ErrorKind kind() const noexcept { return kind_; }

  // The kind's numeric fields in the order field_names() names them
  // (offset; expected, actual; depth, maximum; lineno, colno; ...); 0 where
  // a kind has fewer. The named accessors below read the same two.
  std::uint64_t first() const noexcept { return a_; }
  std::uint64_t second() const noexcept { return b_; }
  std::uint64_t offset() const noexcept { return a_; }     // UnexpectedEof, InvalidUtf8
  std::uint64_t os_errno() const noexcept { return a_; }   // Io
  std::uint64_t maximum() const noexcept { return b_; }    // NestingTooDeep, BlockTooLarge, TooManyItems
  std::uint64_t limit() const noexcept { return b_; }      // MemoryLimitExceeded
  std::uint64_t line() const noexcept { return a_; }       // TextParse
  std::uint64_t column() const noexcept { return b_; }     // TextParse
  // The owned text of the string-carrying kinds, empty for the others.
  const std::string& text() const noexcept { return text_; }

  // The user-visible message, e.g. "Unexpected end of input at offset 1".
  std::string message() const;

  // Where in a document the error happened, beyond what the message says:
  // the index of the block (0 for the first after the header) and the offset
  // of its type byte. Absent for errors outside any block.
  struct BlockAt {
    std::uint64_t index;
    std::uint64_t offset;
    friend bool operator==(const BlockAt&, const BlockAt&) = default;
  };
  const std::optional<BlockAt>& block() const noexcept { return block_; }
  TuvaxError& in_block(std::uint64_t index, std::uint64_t offset) noexcept {
    if (!block_) block_ = BlockAt{index, offset};
    return *this;
  }
  // An offset counted from `base` (the start of a block's payload) becomes
  // one counted from the start of the document.
  TuvaxError& rebase(std::uint64_t base) noexcept {
    if (kind_ == ErrorKind::UnexpectedEof || kind_ == ErrorKind::InvalidUtf8)
      a_ = a_ + base < a_ ? ~std::uint64_t{0} : a_ + base;
    return *this;
  }

  // The same error: kind, fields and text. Where it happened is not part of
  // what it is.
  friend bool operator==(const TuvaxError& x, const TuvaxError& y) noexcept {
    return x.kind_ == y.kind_ && x.a_ == y.a_ && x.b_ == y.b_ && x.text_ == y.text_;
  }

 private:
  TuvaxError(ErrorKind kind, std::uint64_t a, std::uint64_t b, std::string text)
      : kind_(kind), a_(a), b_(b), text_(std::move(text)) {}

  ErrorKind kind_;
  std::uint64_t a_;
  std::uint64_t b_;
  std::string text_;
  std::optional<BlockAt> block_;
};

template <typename T>
using Result = std::expected<T, TuvaxError>;

// The kind's name as written in code: "ChecksumMismatch".
const char* kind_name(ErrorKind kind) noexcept;

// The names of a kind's numeric fields, first() and second() (nullptr:
// none), and whether its text() is a field of its own, as the Python
// layer's exception attributes are named.
struct FieldNames {
  const char* first = nullptr;
  const char* second = nullptr;
  bool text = false;
};
FieldNames field_names(ErrorKind kind) noexcept;

// The text notation's refusal of a container inside `max` others, "nesting
// depth exceeds maximum {max}": the parse error's message, and the Python
// layer's for a printer's NestingTooDeep.
std::string text_nesting_message(std::uint64_t max);

}  // namespace tuvax

// Hands an error up unchanged: `TUVAX_TRY(auto n, read_count(...));` or
// `TUVAX_TRY_VOID(encode_value(v));`.
#define TUVAX_CONCAT_INNER(a, b) a##b
#define TUVAX_CONCAT(a, b) TUVAX_CONCAT_INNER(a, b)
#define TUVAX_TRY_IMPL(tmp, decl, expr)                     \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  decl = std::move(*tmp)
#define TUVAX_TRY(decl, expr) TUVAX_TRY_IMPL(TUVAX_CONCAT(tuvax_try_, __LINE__), decl, expr)
#define TUVAX_TRY_VOID(expr)                                           \
  do {                                                                 \
    if (auto tuvax_try_v = (expr); !tuvax_try_v)                       \
      return std::unexpected(std::move(tuvax_try_v).error());          \
  } while (false)

#endif  // TUVAX_ERROR_HPP
