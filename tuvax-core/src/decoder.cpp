#include "tuvax/decoder.hpp"

#include <algorithm>
#include <bit>  // std::bit_cast
#include <cstring>
#include <format>
#include <limits>
#include <utility>

#include "tuvax/header.hpp"
#include "tuvax/varint.hpp"
#include "utf8.hpp"
#include "wire.hpp"

namespace tuvax {

namespace wire = detail::wire;

namespace {


// Forged counts may promise far more members than the bytes behind them hold,
// so up-front reservations stay small and the rest grows as members arrive.
inline constexpr std::uint64_t container_reserve_cap = 1024;
inline constexpr std::uint64_t dict_reserve_cap = 4096;

// Trailer layout from its 0xFF byte: length 8, compression 0, checksum, hash.
inline constexpr std::size_t trailer_checksum_at = 3;
inline constexpr std::size_t trailer_payload_at = 11;
inline constexpr std::size_t trailer_payload_size = 8;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// The hot-path twin of load_le64, inlined here for Float payloads.
std::uint64_t read_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
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

// ---- Top level ----

Result<std::optional<Value>> Decoder::decode_next_owned() {
  if (failure_) return std::unexpected(*failure_);
  if (finished_) return std::nullopt;
  auto fail = [this](TuvaxError e) -> Result<std::optional<Value>> {
    failure_ = e;
    return std::unexpected(std::move(e));
  };
  while (!in_block_ || cursor_ >= block_end_) {
    in_block_ = false;
    auto block = read_next_block();
    if (!block) return fail(std::move(block).error());
    const auto type = static_cast<BlockType>(block->type);
    if (type == BlockType::Trailer) {
      finished_ = true;
      return std::nullopt;
    }
    if (type != BlockType::Data) continue;  // reserved blocks: verified, skipped
    // A dictionary serves exactly the one Data block that follows it.
    if (!dictionary_loaded_) {
      table_.clear();
      dict_strings_.clear();
    }
    dictionary_loaded_ = false;
    in_block_ = true;
    cursor_ = block->start;
    block_end_ = block->end;
  }
  auto value = decode_value_owned_at(block_end_);
  if (!value) return fail(std::move(value).error());
  return std::optional<Value>(std::move(*value));
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
    TUVAX_TRY_VOID(count_memory(full));

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
  table_.assign(dict_strings_.begin(), dict_strings_.end());
  dictionary_loaded_ = true;
  return {};
}

// ---- Values ----

Result<std::uint64_t> Decoder::read_varint(std::size_t end) noexcept {
  // Most lengths and counts fit one byte; skip the general reader for them.
  if (cursor_ < end && input_[cursor_] < 0x80) return input_[cursor_++];
  // Bounded by the block: a value never runs on into the bytes after it.
  TUVAX_TRY(const Varint v, decode_varint(input_.data(), end, cursor_));
  cursor_ += v.consumed;
  return v.value;
}

Result<void> Decoder::count_memory(std::uint64_t bytes) noexcept {
  memory_used_ = saturating_add(memory_used_, bytes);
  if (memory_used_ > limits_.max_memory)
    return std::unexpected(TuvaxError::memory_limit_exceeded(memory_used_, limits_.max_memory));
  return {};
}

Result<Value> Decoder::decode_value_owned_at(std::size_t end) {
  if (cursor_ >= end) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
  const std::uint8_t tag = input_[cursor_++];
  // The high four bits of a tag are ignored.
  switch (tag & 0x0F) {
    case wire::null: return Value::null();
    case wire::boolean:
      if (cursor_ >= end) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
      return Value::boolean(input_[cursor_++] != 0);
    case wire::uint: {
      TUVAX_TRY(const std::uint64_t u, read_varint(end));
      return Value::uint(u);
    }
    case wire::sint: {
      TUVAX_TRY(const std::uint64_t u, read_varint(end));
      return Value::integer(zigzag_decode(u));
    }
    case wire::real: {
      if (end - cursor_ < 8) return std::unexpected(TuvaxError::unexpected_eof(cursor_));
      const std::uint64_t bits = read_le64(input_.data() + cursor_);
      cursor_ += 8;
      return Value::real(std::bit_cast<double>(bits));
    }
    case wire::str_or_bytes: return decode_string(end);
    case wire::object_start: return decode_object(end);
    case wire::array_start: return decode_array(end);
    case wire::str_ref: return decode_str_ref(end);
    default: return std::unexpected(TuvaxError::invalid_wire_type(tag));
  }
}

Result<Value> Decoder::decode_string(std::size_t end) {
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
  if (subtype != 0) return Value::bytes(Bytes(content, content + n));
  if (!detail::is_valid_utf8(content, n)) return std::unexpected(TuvaxError::invalid_utf8(content_at));
  // Inline strings take the next table indices, in the order they are met.
  // The input outlives the decoder's use of it, so the entry is a view.
  const std::string_view s(reinterpret_cast<const char*>(content), n);
  table_.push_back(s);
  return Value::str(std::string(s));
}

Result<Value> Decoder::decode_str_ref(std::size_t end) {
  TUVAX_TRY(const std::uint64_t index, read_varint(end));
  if (index >= table_.size())
    return std::unexpected(
        TuvaxError::invalid_data(std::format("StrRef index {} >= table size {}", index, table_.size())));
  const std::string_view entry = table_[static_cast<std::size_t>(index)];
  // A reference copies its entry, so it counts like an inline string: a few
  // bytes of references must not expand into unbounded memory.
  TUVAX_TRY_VOID(count_memory(entry.size()));
  return Value::str(std::string(entry));
}

Result<Value> Decoder::decode_array(std::size_t end) {
  if (depth_ >= limits_.max_depth)
    return std::unexpected(TuvaxError::nesting_too_deep(depth_, limits_.max_depth));
  TUVAX_TRY(const std::uint64_t count, read_varint(end));
  if (count > limits_.max_items) return std::unexpected(TuvaxError::too_many_items(count, limits_.max_items));
  ++depth_;
  Array elements;
  elements.reserve(static_cast<std::size_t>(std::min(count, container_reserve_cap)));
  for (std::uint64_t i = 0; i < count; ++i) {
    auto element = decode_value_owned_at(end);
    if (!element) return std::unexpected(std::move(element).error());
    elements.push_back(std::move(*element));
  }
  --depth_;
  // The end tag is optional.
  if (cursor_ < end && input_[cursor_] == wire::array_end) ++cursor_;
  return Value::array(std::move(elements));
}

Result<Value> Decoder::decode_object(std::size_t end) {
  if (depth_ >= limits_.max_depth)
    return std::unexpected(TuvaxError::nesting_too_deep(depth_, limits_.max_depth));
  TUVAX_TRY(const std::uint64_t count, read_varint(end));
  if (count > limits_.max_items) return std::unexpected(TuvaxError::too_many_items(count, limits_.max_items));
  ++depth_;
  Object members;
  members.reserve(static_cast<std::size_t>(std::min(count, container_reserve_cap)));
  for (std::uint64_t i = 0; i < count; ++i) {
    TUVAX_TRY(const std::uint64_t key_len, read_varint(end));
    const std::size_t key_at = cursor_;
    if (key_len > end - key_at)
      return std::unexpected(TuvaxError::unexpected_eof(saturating_add(key_at, key_len)));
    const std::uint8_t* key = input_.data() + key_at;
    const auto n = static_cast<std::size_t>(key_len);
    if (!detail::is_valid_utf8(key, n)) return std::unexpected(TuvaxError::invalid_utf8(key_at));
    cursor_ += n;
    std::string key_text(reinterpret_cast<const char*>(key), n);
    auto value = decode_value_owned_at(end);
    if (!value) return std::unexpected(std::move(value).error());
    members.push_back(Member{std::move(key_text), std::move(*value)});
  }
  --depth_;
  if (cursor_ < end && input_[cursor_] == wire::object_end) ++cursor_;
  return Value::object(std::move(members));
}

}  // namespace tuvax
