#include "tuvax/decoder.hpp"

#include <algorithm>
#include <bit>  // std::bit_cast
#include <cstring>
#include <format>
#include <limits>
#include <utility>

#include <simdutf.h>

#include "tuvax/header.hpp"
#include "tuvax/varint.hpp"
#include "tuvax/detail/utf8.hpp"
#include "tuvax/detail/wire.hpp"

namespace tuvax {

namespace {


// Forged counts may promise far more entries than the bytes behind them hold,
// so the up-front reservation stays small and the rest grows as entries arrive.
inline constexpr std::uint64_t dict_reserve_cap = 4096;

// Trailer layout from its 0xFF byte: length 8, compression 0, checksum, hash.
inline constexpr std::size_t trailer_checksum_at = 3;
inline constexpr std::size_t trailer_payload_at = 11;
inline constexpr std::size_t trailer_payload_size = 8;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

const char* decompression_message(std::uint8_t code) noexcept {
  switch (code) {
    case 1: return "zstd decompression not available (enable 'zstd' feature)";
    case 2: return "snappy decompression not available (enable 'snappy' feature)";
    default: return "lz4 decompression not available (enable 'lz4' feature)";
  }
}

bool is_known_block_type(std::uint8_t t) noexcept {
  return (t >= static_cast<std::uint8_t>(BlockType::Data) && t <= static_cast<std::uint8_t>(BlockType::StringDict)) ||
         t == static_cast<std::uint8_t>(BlockType::Trailer);
}

}  // namespace

bool detail::is_valid_utf8_simd(const std::uint8_t* s, std::size_t len) noexcept {
  return simdutf::validate_utf8(reinterpret_cast<const char*>(s), len);
}

// ---- Top level ----

Result<bool> Decoder::enter_value_block(bool& table_replaced) {
  while (!in_block_ || cursor_ >= block_end_) {
    in_block_ = false;
    TUVAX_TRY(const BlockSpan block, read_next_block());
    const auto type = static_cast<BlockType>(block.type);
    if (type == BlockType::Trailer) {
      finished_ = true;
      return false;
    }
    if (type != BlockType::Data) continue;  // reserved blocks: verified, skipped
    // A dictionary serves exactly the one Data block that follows it.
    if (!dictionary_loaded_) dict_strings_.clear();
    inline_strings_.clear();
    dictionary_loaded_ = false;
    table_replaced = true;
    in_block_ = true;
    block_start_ = block.start;
    cursor_ = block.start;
    block_end_ = block.end;
  }
  return true;
}

Result<std::optional<Value>> Decoder::decode_next_owned() {
  TreeBuilder builder;
  TUVAX_TRY(const DecodeStep step, decode_next(builder));
  if (step != DecodeStep::value) return std::nullopt;  // TreeBuilder never stops
  return std::optional<Value>(builder.take());
}

Result<std::vector<Value>> Decoder::decode_all_owned() {
  std::vector<Value> values;
  for (;;) {
    auto next = decode_next_owned();
    if (!next) return std::unexpected(std::move(next).error());
    if (!*next) return values;
    values.push_back(std::move(**next));
  }
}

// ---- Block framing ----

Result<void> Decoder::read_header() {
  if (input_.size() < header_size) return std::unexpected(TuvaxError::unexpected_eof(input_.size()));
  if (std::memcmp(input_.data(), magic.data(), magic.size()) != 0)
    return std::unexpected(TuvaxError::invalid_magic());
  header_read_ = true;
  reserved_ = input_[magic.size()];
  read_pos_ = header_size;
  return {};
}

Result<Decoder::BlockSpan> Decoder::read_next_block() {
  if (!header_read_) TUVAX_TRY_VOID(read_header());
  const std::uint8_t* data = input_.data();
  const std::size_t size = input_.size();
  for (;;) {
    // Blocks end only at a trailer: input that stops between blocks is cut short.
    if (read_pos_ >= size) return std::unexpected(TuvaxError::unexpected_eof(size));
    const std::size_t block_at = read_pos_;
    const std::uint8_t type = data[read_pos_++];
    if (!is_known_block_type(type)) return std::unexpected(TuvaxError::invalid_block_type(type));
    if (type == static_cast<std::uint8_t>(BlockType::Trailer)) return verify_trailer(block_at);

    TUVAX_TRY(const Varint length, decode_varint(data, size, read_pos_));
    read_pos_ += length.consumed;
    if (length.value > limits_.max_block_size)
      return std::unexpected(TuvaxError::block_too_large(length.value, limits_.max_block_size));

    if (read_pos_ >= size) return std::unexpected(TuvaxError::unexpected_eof(size));
    const std::uint8_t compression = data[read_pos_++];
    if (compression > static_cast<std::uint8_t>(Compression::Lz4))
      return std::unexpected(TuvaxError::unknown_compression(compression));

    if (size - read_pos_ < 8) return std::unexpected(TuvaxError::unexpected_eof(read_pos_));
    const std::uint64_t stored = load_le64(data + read_pos_);
    read_pos_ += 8;

    const std::size_t start = read_pos_;
    // length <= max_block_size, so the sum cannot wrap.
    const std::uint64_t end = static_cast<std::uint64_t>(start) + length.value;
    if (end > size) return std::unexpected(TuvaxError::unexpected_eof(end));
    read_pos_ = static_cast<std::size_t>(end);
    const std::span<const std::uint8_t> payload = input_.subspan(start, static_cast<std::size_t>(length.value));

    if (type == static_cast<std::uint8_t>(BlockType::StringDict)) {
      // Taken as stored whatever its compression byte says.
      if (const std::uint64_t actual = xxh64(payload); actual != stored)
        return std::unexpected(TuvaxError::checksum_mismatch(stored, actual));
      TUVAX_TRY_VOID(load_string_dict(start, read_pos_));
      continue;
    }
    if (compression != static_cast<std::uint8_t>(Compression::None)) {
      // No decompressor is built in; the declared size is all that is read.
      TUVAX_TRY(const Varint declared, decode_varint(data, read_pos_, start));
      if (declared.value > limits_.max_block_size)
        return std::unexpected(TuvaxError::block_too_large(declared.value, limits_.max_block_size));
      return std::unexpected(TuvaxError::decompression(decompression_message(compression)));
    }
    if (const std::uint64_t actual = xxh64(payload); actual != stored)
      return std::unexpected(TuvaxError::checksum_mismatch(stored, actual));
    return BlockSpan{type, start, read_pos_};
  }
}

Result<Decoder::BlockSpan> Decoder::verify_trailer(std::size_t at) {
  const std::uint8_t* data = input_.data();
  const std::size_t size = input_.size();
  if (size - at < trailer_size) return std::unexpected(TuvaxError::unexpected_eof(size));
  if (data[at + 1] != trailer_payload_size || data[at + 2] != static_cast<std::uint8_t>(Compression::None))
    return std::unexpected(TuvaxError::invalid_data("Malformed trailer block"));
  const auto payload = input_.subspan(at + trailer_payload_at, trailer_payload_size);
  const std::uint64_t stored_checksum = load_le64(data + at + trailer_checksum_at);
  if (const std::uint64_t actual = xxh64(payload); actual != stored_checksum)
    return std::unexpected(TuvaxError::checksum_mismatch(stored_checksum, actual));
  // The file hash covers every byte before the trailer's type byte.
  const std::uint64_t stored_hash = load_le64(payload.data());
  if (const std::uint64_t actual = xxh64(input_.first(at)); actual != stored_hash)
    return std::unexpected(TuvaxError::checksum_mismatch(stored_hash, actual));
  // Nothing after the trailer's 19 bytes is examined.
  read_pos_ = at + trailer_size;
  return BlockSpan{static_cast<std::uint8_t>(BlockType::Trailer), at + trailer_payload_at, read_pos_};
}

// ---- String dictionary ----

Result<void> Decoder::load_string_dict(std::size_t start, std::size_t end) {
  // Offsets reported from here count from the payload start.
  const std::uint8_t* p = input_.data() + start;
  const std::size_t len = end - start;
  std::size_t pos = 0;
  auto varint = [&]() -> Result<std::uint64_t> {
    TUVAX_TRY(const Varint v, decode_varint(p, len, pos));
    pos += v.consumed;
    return v.value;
  };

  TUVAX_TRY(const std::uint64_t count, varint());
  if (count > limits_.max_items) return std::unexpected(TuvaxError::too_many_items(count, limits_.max_items));

  struct Entry {
    std::uint64_t index;
    std::string text;
  };
  std::vector<Entry> entries;
  entries.reserve(static_cast<std::size_t>(std::min(count, dict_reserve_cap)));
  std::uint64_t largest = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    TUVAX_TRY(const std::uint64_t index, varint());
    if (index >= count)
      return std::unexpected(TuvaxError::invalid_data(
          std::format("StringDict entry has original_idx {} >= count {}", index, count)));
    TUVAX_TRY(const std::uint64_t prefix_len, varint());
    TUVAX_TRY(const std::uint64_t suffix_len, varint());
    const std::size_t suffix_at = pos;
    if (suffix_len > len - suffix_at) return std::unexpected(TuvaxError::unexpected_eof(suffix_at));
    const auto suffix_end = static_cast<std::size_t>(suffix_at + suffix_len);

    const std::string_view previous = entries.empty() ? std::string_view() : std::string_view(entries.back().text);
    std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(prefix_len, previous.size()));
    while (kept > 0 && kept < previous.size() &&
           detail::is_continuation_byte(static_cast<std::uint8_t>(previous[kept])))
      --kept;
    if (!detail::is_valid_utf8(p + suffix_at, suffix_end - suffix_at))
      return std::unexpected(TuvaxError::invalid_utf8(suffix_end));

    // Front coding lets a few bytes stand for a long string, so every entry
    // is counted at its full length before it is built.
    const std::uint64_t full = kept + suffix_len;
    if (full > limits_.max_string_len)
      return std::unexpected(TuvaxError::memory_limit_exceeded(full, limits_.max_string_len));
    if (!count_memory(full)) return std::unexpected(*std::exchange(walk_error_, std::nullopt));

    std::string text;
    text.reserve(static_cast<std::size_t>(full));
    text.append(previous.substr(0, kept));
    text.append(reinterpret_cast<const char*>(p + suffix_at), suffix_end - suffix_at);
    entries.push_back({index, std::move(text)});
    largest = std::max(largest, index);
    pos = suffix_end;
  }
  // Bytes after the last entry are ignored.

  std::vector<std::string> strings(static_cast<std::size_t>(largest + 1));
  // In entry order, so a later entry with a repeated index wins.
  for (Entry& e : entries) strings[static_cast<std::size_t>(e.index)] = std::move(e.text);
  dict_strings_ = std::move(strings);
  dictionary_loaded_ = true;
  return {};
}

// ---- Values ----

Result<std::uint64_t> Decoder::read_long_varint(std::size_t end) noexcept {
  // Bounded by the block: a value never runs on into the bytes after it.
  TUVAX_TRY(const Varint v, decode_varint(input_.data(), end, cursor_));
  cursor_ += v.consumed;
  return v.value;
}

bool Decoder::count_memory(std::uint64_t bytes) {
  memory_used_ = saturating_add(memory_used_, bytes);
  if (memory_used_ > limits_.max_memory)
    return walk_fail(TuvaxError::memory_limit_exceeded(memory_used_, limits_.max_memory));
  return true;
}

bool Decoder::open_container(std::size_t end, std::uint64_t& count) {
  if (depth_ >= limits_.max_depth) return walk_fail(TuvaxError::nesting_too_deep(depth_, limits_.max_depth));
  if (!read_varint(end, count)) return false;
  if (count > limits_.max_items) return walk_fail(TuvaxError::too_many_items(count, limits_.max_items));
  return true;
}

TuvaxError Decoder::bad_str_ref(std::uint64_t index) const {
  return TuvaxError::invalid_data(std::format("StrRef index {} >= table size {}", index, table_size()));
}

}  // namespace tuvax
