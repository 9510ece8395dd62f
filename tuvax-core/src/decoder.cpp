#include "tuvax/decoder.hpp"

#include <algorithm>
#include <bit>  // std::bit_cast
#include <cstring>
#include <format>
#include <limits>
#include <utility>

#include "tuvax/framing.hpp"
#include "tuvax/varint.hpp"
#include "tuvax/detail/utf8.hpp"
#include "tuvax/detail/wire.hpp"

namespace tuvax {

// ---- Top level ----

Result<bool> Decoder::enter_value_block(bool& table_replaced) {
  while (!in_block_ || cursor_ >= block_end_) {
    in_block_ = false;
    TUVAX_TRY(const Block block, blocks_.next());
    switch (block.type) {
      case BlockType::Trailer: finished_ = true; return false;
      case BlockType::StringDict: {
        auto loaded = load_string_dict(block.payload);
        if (!loaded) return std::unexpected(std::move(loaded.error().in_block(block.index, block.offset)));
        continue;
      }
      case BlockType::Data: break;
      default: continue;  // reserved blocks: verified, skipped
    }
    // A dictionary serves exactly the one Data block that follows it.
    if (!dictionary_loaded_) dict_strings_.clear();
    inline_strings_.clear();
    dictionary_loaded_ = false;
    table_replaced = true;
    in_block_ = true;
    input_ = block.payload;
    base_ = block.payload_offset;
    cursor_ = 0;
    block_end_ = block.payload.size();
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

// ---- String dictionary ----

Result<void> Decoder::load_string_dict(std::span<const std::uint8_t> payload) {
  // Offsets reported from here count from the payload start.
  const std::uint8_t* p = payload.data();
  const std::size_t len = payload.size();
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
  entries.reserve(static_cast<std::size_t>(std::min(count, max_reservation)));
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

bool Decoder::open_container_rest(std::size_t end, std::uint64_t& count) {
  if (depth_ >= limits_.max_depth) return walk_fail(TuvaxError::nesting_too_deep(depth_, limits_.max_depth));
  if (!read_varint(end, count)) return false;
  if (count > limits_.max_items) return walk_fail(TuvaxError::too_many_items(count, limits_.max_items));
  return true;
}

TuvaxError Decoder::bad_str_ref(std::uint64_t index) const {
  return TuvaxError::invalid_data(std::format("StrRef index {} >= table size {}", index, table_size()));
}

}  // namespace tuvax
