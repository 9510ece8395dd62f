#ifndef TUVAX_DECODER_HPP
#define TUVAX_DECODER_HPP

#include <algorithm>  // std::min
#include <bit>        // std::bit_cast
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/builder.hpp"
#include "tuvax/detail/utf8.hpp"
#include "tuvax/detail/wire.hpp"
#include "tuvax/error.hpp"
#include "tuvax/header.hpp"  // load_le64
#include "tuvax/limits.hpp"
#include "tuvax/value.hpp"
#include "tuvax/varint.hpp"

namespace tuvax {

// What one step of decode_next() came to, when it did not fail.
enum class DecodeStep : std::uint8_t {
  value,    // one whole top-level value went to the builder
  end,      // the verified trailer was reached: no more values
  stopped,  // the builder returned false; the decoder is unusable from here
};

// Reads the top-level values of one complete binary document held in memory.
// Borrows `input` for its lifetime; every value it returns is owned. A
// document decodes only when its blocks end at a trailer whose checksum and
// file hash verify. One pass: build, drain, discard.
//
// There is one walk over the wire; the owned Values, the validate-only pass
// and the Python objects of the extension are all builders fed by it, so
// every one of them gets the same checks, errors and offsets.
class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> input) noexcept : input_(input) {}

  // Reads the next top-level value into `builder`. Errors are the decoder's
  // own (framing, checksums, limits, UTF-8, string table); after an error
  // every later call returns it again. A builder's failure is not an error
  // of the input: it comes back as DecodeStep::stopped.
  template <ValueBuilder B>
  [[nodiscard]] Result<DecodeStep> decode_next(B& builder);

  // The next top-level value, std::nullopt once the verified trailer is
  // reached, or the first error.
  [[nodiscard]] Result<std::optional<Value>> decode_next_owned();

  // Every top-level value in order, or the first error (partial results are
  // destroyed).
  [[nodiscard]] Result<std::vector<Value>> decode_all_owned();

 private:
  // A block as block reading hands it to value decoding: its type byte and
  // its payload's offsets within input_.
  struct BlockSpan {
    std::uint8_t type;
    std::size_t start;
    std::size_t end;
  };

  // The next Data, Reserved2 or Reserved3 block, or a Trailer once its length,
  // checksum and file hash verify. Loads StringDict blocks on the way.
  [[nodiscard]] Result<BlockSpan> read_next_block();
  [[nodiscard]] Result<void> read_header();
  [[nodiscard]] Result<BlockSpan> verify_trailer(std::size_t at);
  [[nodiscard]] Result<void> load_string_dict(std::size_t start, std::size_t end);
  // Moves to the block holding the next value. Returns false at the
  // verified trailer. A new block's string table is announced to `reset`.
  [[nodiscard]] Result<bool> enter_value_block(bool& table_replaced);

  // A value walk's outcome: Ok, or the builder stopped (no core error).
  enum class Walk : std::uint8_t { ok, stopped };
  // One value at cursor_ within the current block, which ends at `end`.
  template <ValueBuilder B>
  [[nodiscard]] Result<Walk> walk_value(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] Result<Walk> walk_string(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] Result<Walk> walk_str_ref(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] Result<Walk> walk_array(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] Result<Walk> walk_object(B& b, std::size_t end);
  // The depth and count checks a container passes before any member.
  [[nodiscard]] Result<std::uint64_t> open_container(std::size_t end) noexcept;
  [[nodiscard]] Result<std::uint64_t> read_varint(std::size_t end) noexcept {
    // Most lengths and counts fit one byte; skip the general reader for them.
    if (cursor_ < end && input_[cursor_] < 0x80) return input_[cursor_++];
    return read_long_varint(end);
  }
  [[nodiscard]] Result<std::uint64_t> read_long_varint(std::size_t end) noexcept;
  // "StrRef index {i} >= table size {n}".
  [[nodiscard]] TuvaxError bad_str_ref(std::uint64_t index) const;
  // Where a key of `len` bytes at `at` would end, stopping at 2^64-1.
  static std::uint64_t key_end_offset(std::uint64_t at, std::uint64_t len) noexcept {
    return at + len < at ? ~std::uint64_t{0} : at + len;
  }
  // Adds `bytes` to memory_used_ (saturating) and tests the running total.
  [[nodiscard]] Result<void> count_memory(std::uint64_t bytes) noexcept;
  TuvaxError fail(TuvaxError e) {
    failure_ = e;
    return e;
  }

  std::span<const std::uint8_t> input_;
  Limits limits_;
  bool header_read_ = false;
  std::uint8_t reserved_ = 0;  // header byte 7: kept, never examined
  std::size_t read_pos_ = 0;   // next unread byte of the block sequence
  bool in_block_ = false;
  std::size_t block_end_ = 0;  // payload end of the current Data block
  std::size_t cursor_ = 0;     // next unread value byte in the current block
  std::uint64_t depth_ = 0;
  std::uint64_t memory_used_ = 0;
  // The string table. Inline strings are views into input_; dictionary
  // strings are built by front decoding and owned by dict_strings_.
  std::vector<std::string_view> table_;
  std::vector<std::string> dict_strings_;
  bool dictionary_loaded_ = false;
  bool finished_ = false;                 // the trailer verified
  std::optional<TuvaxError> failure_;     // the first error, returned again on later calls
  bool stopped_ = false;                  // a builder gave up part-way through a value
};

// ---- The value walk ----

template <ValueBuilder B>
Result<DecodeStep> Decoder::decode_next(B& builder) {
  if (failure_) return std::unexpected(*failure_);
  if (stopped_) return DecodeStep::stopped;
  if (finished_) return DecodeStep::end;
  if (!in_block_ || cursor_ >= block_end_) {
    bool table_replaced = false;
    auto more = enter_value_block(table_replaced);
    if (!more) return std::unexpected(fail(std::move(more).error()));
    if (table_replaced) builder.reset_shared();
    if (!*more) return DecodeStep::end;
  }
  auto walked = walk_value(builder, block_end_);
  if (!walked) return std::unexpected(fail(std::move(walked).error()));
  if (*walked == Walk::stopped) {
    stopped_ = true;
    return DecodeStep::stopped;
  }
  return DecodeStep::value;
}

template <ValueBuilder B>
Result<Decoder::Walk> Decoder::walk_value(B& b, std::size_t end) {
  namespace wire = detail::wire;
  if (cursor_ >= end) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
  const std::uint8_t tag = input_[cursor_++];
  bool ok = true;
  // The high four bits of a tag are ignored.
  switch (tag & 0x0F) {
    case wire::null: ok = b.null(); break;
    case wire::boolean:
      if (cursor_ >= end) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
      ok = b.boolean(input_[cursor_++] != 0);
      break;
    case wire::uint: {
      TUVAX_TRY(const std::uint64_t u, read_varint(end));
      ok = b.uint(u);
      break;
    }
    case wire::sint: {
      TUVAX_TRY(const std::uint64_t u, read_varint(end));
      ok = b.integer(zigzag_decode(u));
      break;
    }
    case wire::real: {
      if (end - cursor_ < 8) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
      ok = b.real(std::bit_cast<double>(load_le64(input_.data() + cursor_)));
      cursor_ += 8;
      break;
    }
    case wire::str_or_bytes: return walk_string(b, end);
    case wire::object_start: return walk_object(b, end);
    case wire::array_start: return walk_array(b, end);
    case wire::str_ref: return walk_str_ref(b, end);
    default: return std::unexpected(TuvaxError::invalid_wire_type(tag));
  }
  return ok ? Walk::ok : Walk::stopped;
}

template <ValueBuilder B>
Result<Decoder::Walk> Decoder::walk_string(B& b, std::size_t end) {
  if (cursor_ >= end) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
  const std::uint8_t subtype = input_[cursor_++];
  TUVAX_TRY(const std::uint64_t length, read_varint(end));
  if (length > limits_.max_string_len)
    return std::unexpected(TuvaxError::memory_limit_exceeded(length, limits_.max_string_len));
  TUVAX_TRY_VOID(count_memory(length));
  // length <= max_string_len, so the sum cannot wrap.
  const std::uint64_t content_end = static_cast<std::uint64_t>(cursor_) + length;
  if (content_end > end) return std::unexpected(TuvaxError::unexpected_eof(content_end));
  const std::uint8_t* content = input_.data() + cursor_;
  const std::size_t content_at = cursor_;
  const auto n = static_cast<std::size_t>(length);
  cursor_ += n;
  if (subtype != detail::wire::subtype_str) return b.bytes({content, n}) ? Walk::ok : Walk::stopped;
  const detail::Utf8Check check = detail::check_utf8(content, n);
  if (check == detail::Utf8Check::invalid) return std::unexpected(TuvaxError::invalid_utf8(content_at));
  // Inline strings take the next table indices, in the order they are met.
  // The input outlives the decoder's use of it, so the entry is a view.
  const std::string_view s(reinterpret_cast<const char*>(content), n);
  table_.push_back(s);
  return b.str(s, check == detail::Utf8Check::ascii) ? Walk::ok : Walk::stopped;
}

template <ValueBuilder B>
Result<Decoder::Walk> Decoder::walk_str_ref(B& b, std::size_t end) {
  TUVAX_TRY(const std::uint64_t index, read_varint(end));
  if (index >= table_.size()) return std::unexpected(bad_str_ref(index));
  const std::string_view entry = table_[static_cast<std::size_t>(index)];
  // A reference copies its entry, so it counts like an inline string: a few
  // bytes of references must not expand into unbounded memory.
  TUVAX_TRY_VOID(count_memory(entry.size()));
  return b.shared_str(entry, static_cast<std::size_t>(index)) ? Walk::ok : Walk::stopped;
}

template <ValueBuilder B>
Result<Decoder::Walk> Decoder::walk_array(B& b, std::size_t end) {
  TUVAX_TRY(const std::uint64_t count, open_container(end));
  // Every member takes at least one byte, so the bytes left bound the hint.
  if (!b.begin_array(static_cast<std::size_t>(std::min<std::uint64_t>(count, end - cursor_)))) return Walk::stopped;
  ++depth_;
  for (std::uint64_t i = 0; i < count; ++i) {
    TUVAX_TRY(const Walk w, walk_value(b, end));
    if (w == Walk::stopped) return w;
  }
  --depth_;
  // The end tag is optional.
  if (cursor_ < end && input_[cursor_] == detail::wire::array_end) ++cursor_;
  return b.end_array() ? Walk::ok : Walk::stopped;
}

template <ValueBuilder B>
Result<Decoder::Walk> Decoder::walk_object(B& b, std::size_t end) {
  TUVAX_TRY(const std::uint64_t count, open_container(end));
  // A member takes at least two bytes: a key length and a value tag.
  if (!b.begin_object(static_cast<std::size_t>(std::min<std::uint64_t>(count, (end - cursor_) / 2))))
    return Walk::stopped;
  ++depth_;
  for (std::uint64_t i = 0; i < count; ++i) {
    TUVAX_TRY(const std::uint64_t key_len, read_varint(end));
    const std::size_t key_at = cursor_;
    if (key_len > end - key_at) return std::unexpected(TuvaxError::unexpected_eof(key_end_offset(key_at, key_len)));
    const std::uint8_t* key = input_.data() + key_at;
    const auto n = static_cast<std::size_t>(key_len);
    const detail::Utf8Check check = detail::check_utf8(key, n);
    if (check == detail::Utf8Check::invalid) return std::unexpected(TuvaxError::invalid_utf8(key_at));
    cursor_ += n;
    if (!b.key(std::string_view(reinterpret_cast<const char*>(key), n), check == detail::Utf8Check::ascii))
      return Walk::stopped;
    TUVAX_TRY(const Walk w, walk_value(b, end));
    if (w == Walk::stopped) return w;
  }
  --depth_;
  if (cursor_ < end && input_[cursor_] == detail::wire::object_end) ++cursor_;
  return b.end_object() ? Walk::ok : Walk::stopped;
}

}  // namespace tuvax

#endif  // TUVAX_DECODER_HPP
