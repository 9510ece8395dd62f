#ifndef TUVAX_DECODER_HPP
#define TUVAX_DECODER_HPP

#include <algorithm>  // std::min
#include <bit>        // std::bit_cast
#include <cstddef>
#include <cstdint>
#include <memory>  // std::unique_ptr
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/builder.hpp"
#include "tuvax/detail/utf8.hpp"
#include "tuvax/detail/wire.hpp"
#include "tuvax/error.hpp"
#include "tuvax/framing.hpp"
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
namespace detail {

// The offsets of a block's inline strings, kept in chunks: the table grows
// with the block without ever holding twice what it uses, as one vector
// doubling past millions of entries would.
class InlineTable {
 public:
  void push_back(std::uint32_t offset) {
    if (size_ == chunks_.size() * chunk_size) chunks_.push_back(std::make_unique_for_overwrite<std::uint32_t[]>(chunk_size));
    chunks_[size_ / chunk_size][size_ % chunk_size] = offset;
    ++size_;
  }
  std::uint32_t operator[](std::size_t i) const noexcept { return chunks_[i / chunk_size][i % chunk_size]; }
  std::size_t size() const noexcept { return size_; }
  void clear() noexcept { size_ = 0; }  // the chunks serve the next block

 private:
  static constexpr std::size_t chunk_size = std::size_t{1} << 14;
  std::vector<std::unique_ptr<std::uint32_t[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace detail

class Decoder {
 public:
  // A document in memory, read in place; `input` must outlive the decoder.
  explicit Decoder(std::span<const std::uint8_t> input) noexcept
      : span_source_(input), blocks_(*span_source_, Limits{}) {}
  // A document read from `source` as decoding goes, one block at a time:
  // the same checks, errors and offsets as for the same bytes in memory.
  explicit Decoder(ByteSource& source) noexcept : blocks_(source, Limits{}) {}
  // The blocks refer to the decoder's own source: it stays where it is.
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

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

  // The offset just past the trailer, once it verified.
  std::uint64_t end_offset() const noexcept { return blocks_.end(); }

 private:
  [[nodiscard]] Result<void> load_string_dict(std::span<const std::uint8_t> payload);
  // Moves to the Data block holding the next value, loading a dictionary
  // and skipping reserved blocks on the way. Returns false at the verified
  // trailer. A new block means a new string table, which the caller
  // announces to its builder (reset_shared).
  [[nodiscard]] Result<bool> enter_value_block(bool& table_replaced);
  // An error of the value walk: its offset counted from the document's
  // start, and the block it happened in.
  TuvaxError located(TuvaxError e) const {
    e.rebase(base_);
    e.in_block(blocks_.block_index(), blocks_.block_offset());
    return e;
  }

  // The value walk. Each step returns true to go on; false when the walk
  // must end: with walk_error_ set for an error of the input, without it
  // when the builder stopped. A bool per value keeps the hot path free of
  // error objects, which are built only where an error happens.
  template <ValueBuilder B>
  [[nodiscard]] bool walk_value(B& b, std::size_t end);
  // An element of an array: a float (lists of numbers are mostly floats)
  // is read here, in the array's own loop; anything else, or a float too
  // close to the block's end to be whole, goes to walk_value(), which gives
  // every error. (Testing for more types here costs the arrays of other
  // values more than it saves.)
  template <ValueBuilder B>
  [[nodiscard]] [[gnu::always_inline]] inline bool walk_member(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] bool walk_string(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] bool walk_str_ref(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] bool walk_array(B& b, std::size_t end);
  template <ValueBuilder B>
  [[nodiscard]] bool walk_object(B& b, std::size_t end);
  // What a builder may reserve for a container announcing `count` members
  // when the input has room for `room` at most. Also capped: containers
  // nest, and every level of a forged nest could otherwise reserve for all
  // the bytes left, many times over what the input can fill. Larger
  // containers grow as their members arrive.
  static std::size_t presize_hint(std::uint64_t count, std::uint64_t room) noexcept {
    return static_cast<std::size_t>(std::min({count, room, max_reservation}));
  }
  bool walk_fail(TuvaxError e) {
    walk_error_ = std::move(e);
    return false;
  }
  // The depth and count checks a container passes before any member. The
  // usual container, well within the limits and with a count of one byte,
  // is settled inline; open_container_rest() gives every error.
  [[nodiscard]] [[gnu::always_inline]] bool open_container(std::size_t end, std::uint64_t& count) {
    if (depth_ < limits_.max_depth && cursor_ < end && input_[cursor_] < 0x80 && input_[cursor_] <= limits_.max_items)
        [[likely]] {
      count = input_[cursor_++];
      return true;
    }
    return open_container_rest(end, count);
  }
  [[nodiscard]] bool open_container_rest(std::size_t end, std::uint64_t& count);
  // Most lengths and counts fit one byte: that case is inlined everywhere,
  // and read_varint_rest takes the others.
  [[nodiscard]] [[gnu::always_inline]] bool read_varint(std::size_t end, std::uint64_t& out) {
    if (cursor_ < end && input_[cursor_] < 0x80) [[likely]] {
      out = input_[cursor_++];
      return true;
    }
    return read_varint_rest(end, out);
  }
  [[nodiscard]] bool read_varint_rest(std::size_t end, std::uint64_t& out) {
    // Integers of a few bytes are read here; the general reader takes the
    // rest (a varint near the end of the block, ten bytes, or an overflow),
    // whose errors it knows.
    if (end - cursor_ >= 5) {
      const std::uint8_t* p = input_.data() + cursor_;
      std::uint64_t v = p[0] & 0x7Fu;
      for (std::size_t i = 1; i < 5; ++i) {
        v |= static_cast<std::uint64_t>(p[i] & 0x7Fu) << (7 * i);
        if (p[i] < 0x80) {
          cursor_ += i + 1;
          out = v;
          return true;
        }
      }
    }
    auto r = read_long_varint(end);
    if (!r) return walk_fail(std::move(r).error());
    out = *r;
    return true;
  }
  [[nodiscard]] Result<std::uint64_t> read_long_varint(std::size_t end) noexcept;
  // "StrRef index {i} >= table size {n}".
  [[nodiscard]] TuvaxError bad_str_ref(std::uint64_t index) const;
  // Where a key of `len` bytes at `at` would end, stopping at 2^64-1.
  static std::uint64_t key_end_offset(std::uint64_t at, std::uint64_t len) noexcept {
    return at + len < at ? ~std::uint64_t{0} : at + len;
  }
  // Adds `bytes` to memory_used_ (saturating) and tests the running total.
  [[nodiscard]] bool count_memory(std::uint64_t bytes);
  TuvaxError fail(TuvaxError e) {
    failure_ = e;
    return e;
  }

  std::optional<SpanSource> span_source_;  // for a document in memory
  BlockReader blocks_;
  Limits limits_;
  // The current Data block's payload, which the walk reads; offsets within
  // it count from its start, base_ in the document.
  std::span<const std::uint8_t> input_;
  std::uint64_t base_ = 0;
  bool in_block_ = false;
  std::size_t block_end_ = 0;  // payload end of the current Data block
  std::size_t cursor_ = 0;     // next unread value byte in the current block
  std::uint64_t depth_ = 0;
  std::uint64_t memory_used_ = 0;
  // The string table of the current block: the dictionary's strings (built
  // by front decoding, so owned), then the block's inline strings, each the
  // offset of its length varint in the block.
  std::vector<std::string> dict_strings_;
  detail::InlineTable inline_strings_;
  std::size_t table_size() const noexcept { return dict_strings_.size() + inline_strings_.size(); }
  // An entry that exists; inline ones were read and checked when met.
  std::string_view table_entry(std::size_t index) const noexcept {
    if (index < dict_strings_.size()) return dict_strings_[index];
    std::size_t at = inline_strings_[index - dict_strings_.size()];
    std::uint64_t length = input_[at];
    if (length >= 0x80) {
      const auto v = decode_varint(input_.data(), block_end_, at);
      length = v ? v->value : 0;  // cannot fail: the same bytes decoded before
      at += v ? v->consumed : 1;
    } else {
      ++at;
    }
    return {reinterpret_cast<const char*>(input_.data() + at), static_cast<std::size_t>(length)};
  }
  bool dictionary_loaded_ = false;
  bool finished_ = false;                 // the trailer verified
  std::optional<TuvaxError> failure_;     // the first error, returned again on later calls
  bool stopped_ = false;                  // a builder gave up part-way through a value
  std::optional<TuvaxError> walk_error_;  // why the value walk ended, when the input is at fault
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
    if (!more) {
      // A failed read may be tried again (after a signal, say); an error of
      // the input repeats.
      if (more.error().kind() == ErrorKind::Io) return std::unexpected(std::move(more).error());
      return std::unexpected(fail(std::move(more).error()));
    }
    if (table_replaced) builder.reset_shared();
    if (!*more) return DecodeStep::end;
  }
  if (!walk_value(builder, block_end_)) {
    if (walk_error_) return std::unexpected(fail(located(*std::exchange(walk_error_, std::nullopt))));
    stopped_ = true;
    return DecodeStep::stopped;
  }
  return DecodeStep::value;
}

template <ValueBuilder B>
bool Decoder::walk_value(B& b, std::size_t end) {
  namespace wire = detail::wire;
  if (cursor_ >= end) return walk_fail(TuvaxError::unexpected_eof(cursor_));
  const std::uint8_t tag = input_[cursor_++];
  std::uint64_t u;
  // The high four bits of a tag are ignored.
  switch (tag & 0x0F) {
    case wire::null: return b.null();
    case wire::boolean:
      if (cursor_ >= end) return walk_fail(TuvaxError::unexpected_eof(cursor_));
      return b.boolean(input_[cursor_++] != 0);
    case wire::uint: return read_varint(end, u) && b.uint(u);
    case wire::sint: return read_varint(end, u) && b.integer(zigzag_decode(u));
    case wire::real: {
      if (end - cursor_ < 8) return walk_fail(TuvaxError::unexpected_eof(cursor_));
      const double d = std::bit_cast<double>(load_le64(input_.data() + cursor_));
      cursor_ += 8;
      return b.real(d);
    }
    case wire::str_or_bytes: return walk_string(b, end);
    case wire::object_start: return walk_object(b, end);
    case wire::array_start: return walk_array(b, end);
    case wire::str_ref: return walk_str_ref(b, end);
    default: return walk_fail(TuvaxError::invalid_wire_type(tag));
  }
}

template <ValueBuilder B>
bool Decoder::walk_member(B& b, std::size_t end) {
  if (end - cursor_ > 8 && (input_[cursor_] & 0x0F) == detail::wire::real) {
    const double d = std::bit_cast<double>(load_le64(input_.data() + cursor_ + 1));
    cursor_ += 9;
    return b.real(d);
  }
  return walk_value(b, end);
}

template <ValueBuilder B>
bool Decoder::walk_string(B& b, std::size_t end) {
  if (cursor_ >= end) return walk_fail(TuvaxError::unexpected_eof(cursor_));
  const std::uint8_t subtype = input_[cursor_++];
  const std::size_t length_at = cursor_;
  std::uint64_t length;
  if (!read_varint(end, length)) return false;
  if (length > limits_.max_string_len)
    return walk_fail(TuvaxError::memory_limit_exceeded(length, limits_.max_string_len));
  if (!count_memory(length)) return false;
  // length <= max_string_len, so the sum cannot wrap.
  const std::uint64_t content_end = static_cast<std::uint64_t>(cursor_) + length;
  if (content_end > end) return walk_fail(TuvaxError::unexpected_eof(content_end));
  const std::uint8_t* content = input_.data() + cursor_;
  const std::size_t content_at = cursor_;
  const auto n = static_cast<std::size_t>(length);
  cursor_ += n;
  if (subtype != detail::wire::subtype_str) return b.bytes({content, n});
  const detail::Utf8Check check = detail::check_utf8(content, n);
  if (check == detail::Utf8Check::invalid) return walk_fail(TuvaxError::invalid_utf8(content_at));
  // Inline strings take the next table indices, in the order they are met.
  // An entry is where its length stands in the block, four bytes, so that
  // the table stays smaller than the block however short its strings are.
  inline_strings_.push_back(static_cast<std::uint32_t>(length_at));
  const std::string_view s(reinterpret_cast<const char*>(content), n);
  return b.str(s, check == detail::Utf8Check::ascii);
}

template <ValueBuilder B>
bool Decoder::walk_str_ref(B& b, std::size_t end) {
  std::uint64_t index;
  if (!read_varint(end, index)) return false;
  if (index >= table_size()) return walk_fail(bad_str_ref(index));
  const std::string_view entry = table_entry(static_cast<std::size_t>(index));
  // A reference copies its entry, so it counts like an inline string: a few
  // bytes of references must not expand into unbounded memory.
  return count_memory(entry.size()) && b.shared_str(entry, static_cast<std::size_t>(index));
}

template <ValueBuilder B>
bool Decoder::walk_array(B& b, std::size_t end) {
  std::uint64_t count;
  if (!open_container(end, count)) return false;
  // Every member takes at least one byte, so the bytes left bound the hint.
  if (!b.begin_array(presize_hint(count, end - cursor_))) return false;
  ++depth_;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!walk_member(b, end)) return false;
  }
  --depth_;
  // The end tag is optional.
  if (cursor_ < end && input_[cursor_] == detail::wire::array_end) ++cursor_;
  return b.end_array();
}

template <ValueBuilder B>
bool Decoder::walk_object(B& b, std::size_t end) {
  std::uint64_t count;
  if (!open_container(end, count)) return false;
  // A member takes at least two bytes: a key length and a value tag.
  if (!b.begin_object(presize_hint(count, (end - cursor_) / 2))) return false;
  ++depth_;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t key_len;
    if (!read_varint(end, key_len)) return false;
    const std::size_t key_at = cursor_;
    if (key_len > end - key_at) return walk_fail(TuvaxError::unexpected_eof(key_end_offset(key_at, key_len)));
    const std::uint8_t* key = input_.data() + key_at;
    const auto n = static_cast<std::size_t>(key_len);
    const detail::Utf8Check check = detail::check_utf8(key, n);
    if (check == detail::Utf8Check::invalid) return walk_fail(TuvaxError::invalid_utf8(key_at));
    cursor_ += n;
    if (!b.key(std::string_view(reinterpret_cast<const char*>(key), n), check == detail::Utf8Check::ascii))
      return false;
    if (!walk_value(b, end)) return false;
  }
  --depth_;
  if (cursor_ < end && input_[cursor_] == detail::wire::object_end) ++cursor_;
  return b.end_object();
}

}  // namespace tuvax

#endif  // TUVAX_DECODER_HPP
