#include "tuvax/encoder.hpp"

#include <algorithm>
#include <bit>  // std::bit_cast
#include <limits>
#include <string_view>
#include <utility>

#include "tuvax/varint.hpp"
#include "tuvax/detail/wire.hpp"

namespace tuvax {

namespace wire = detail::wire;

namespace {

inline constexpr std::size_t initial_capacity = 4096;
inline constexpr std::size_t dict_bytes_per_entry = 16;

void append_bytes(std::string_view s, std::vector<std::uint8_t>& out) {
  out.insert(out.end(), s.begin(), s.end());
}

// Length of the common byte prefix of `prev` and `cur`, moved down to a
// character boundary of `cur` so that the suffix is valid UTF-8 by itself.
std::size_t shared_prefix(std::string_view prev, std::string_view cur) noexcept {
  const std::size_t limit = std::min(prev.size(), cur.size());
  std::size_t n = static_cast<std::size_t>(
      std::mismatch(prev.begin(), prev.begin() + static_cast<std::ptrdiff_t>(limit), cur.begin()).first -
      prev.begin());
  while (n > 0 && n < cur.size() && (static_cast<std::uint8_t>(cur[n]) & 0xC0) == 0x80) --n;
  return n;
}

}  // namespace

Encoder::Encoder() {
  output_.reserve(initial_capacity);
  block_.reserve(initial_capacity);
}

Result<void> Encoder::encode_value(const Value& value) {
  // A value that fails part-way has already written its enclosing start tags
  // and earlier members; cut them off so a finished document never holds a
  // truncated container that would swallow the values after it.
  const std::size_t block_mark = block_.size();
  const std::size_t table_mark = string_table_.size();
  auto r = encode_value_inner(value);
  if (!r) {
    block_.resize(block_mark);
    if (string_table_.size() != table_mark) {
      // Only strings of the failed value carry indices at or above the mark.
      std::erase_if(string_table_, [table_mark](const auto& entry) { return entry.second >= table_mark; });
    }
    depth_ = 0;
  }
  return r;
}

Result<void> Encoder::encode_value_inner(const Value& value) {
  switch (value.kind()) {
    case Kind::Null:
      block_.push_back(wire::null);
      return {};
    case Kind::Bool:
      block_.push_back(wire::boolean);
      block_.push_back(value.as_bool() ? 1 : 0);
      return {};
    case Kind::UInt:
      block_.push_back(wire::uint);
      encode_varint_vec(value.as_uint(), block_);
      return {};
    case Kind::Int:
      block_.push_back(wire::sint);
      encode_varint_vec(zigzag_encode(value.as_int()), block_);
      return {};
    case Kind::Float:
      block_.push_back(wire::real);
      append_le64(std::bit_cast<std::uint64_t>(value.as_float()), block_);
      return {};
    case Kind::Str:
      encode_str(value.as_str());
      return {};
    case Kind::Bytes: {
      const Bytes& b = value.as_bytes();
      block_.push_back(wire::str_or_bytes);
      block_.push_back(wire::subtype_bytes);
      encode_varint_vec(b.size(), block_);
      block_.insert(block_.end(), b.begin(), b.end());
      return {};
    }
    case Kind::Array: {
      const Array& a = value.as_array();
      TUVAX_TRY_VOID(check_container(a.size()));
      block_.push_back(wire::array_start);
      encode_varint_vec(a.size(), block_);
      ++depth_;
      for (const Value& element : a) {
        auto r = encode_value_inner(element);
        if (!r) {
          --depth_;
          return r;
        }
      }
      --depth_;
      block_.push_back(wire::array_end);
      return {};
    }
    case Kind::Object: {
      const Object& o = value.as_object();
      TUVAX_TRY_VOID(check_container(o.size()));
      block_.push_back(wire::object_start);
      encode_varint_vec(o.size(), block_);
      ++depth_;
      for (const Member& m : o) {
        // Keys are always written bare, never shared through the table.
        encode_varint_vec(m.key.size(), block_);
        append_bytes(m.key, block_);
        auto r = encode_value_inner(m.value);
        if (!r) {
          --depth_;
          return r;
        }
      }
      --depth_;
      block_.push_back(wire::object_end);
      return {};
    }
  }
  return {};
}

Result<void> Encoder::check_container(std::size_t count) const {
  if (depth_ >= limits_.max_depth)
    return std::unexpected(TuvaxError::nesting_too_deep(depth_, limits_.max_depth));
  if (count > limits_.max_items) return std::unexpected(TuvaxError::too_many_items(count, limits_.max_items));
  return {};
}

void Encoder::encode_str(const std::string& s) {
  // One hash: try_emplace finds the entry or inserts a copy of `s` in one go.
  // Indices are 32-bit; a table that is full simply stops sharing.
  if (dedup_ && string_table_.size() < std::numeric_limits<std::uint32_t>::max()) {
    const auto next = static_cast<std::uint32_t>(string_table_.size());
    const auto [it, inserted] = string_table_.try_emplace(s, next);
    if (!inserted) {
      block_.push_back(wire::str_ref);
      encode_varint_vec(it->second, block_);
      return;
    }
  }
  block_.push_back(wire::str_or_bytes);
  block_.push_back(wire::subtype_str);
  encode_varint_vec(s.size(), block_);
  append_bytes(s, block_);
}

void Encoder::flush_block() {
  if (block_.empty()) return;
  if (!header_written_) {
    write_header(output_);
    header_written_ = true;
  }
  if (dedup_ && !string_table_.empty()) {
    // Sorted by bytes, so the output does not depend on the map's order and
    // neighbours share long prefixes.
    std::vector<const std::pair<const std::string, std::uint32_t>*> entries;
    entries.reserve(string_table_.size());
    for (const auto& entry : string_table_) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

    std::vector<std::uint8_t> dict;
    dict.reserve(entries.size() * dict_bytes_per_entry);
    encode_varint_vec(entries.size(), dict);
    std::string_view previous;
    for (const auto* entry : entries) {
      const std::string_view s = entry->first;
      const std::size_t prefix = shared_prefix(previous, s);
      encode_varint_vec(entry->second, dict);
      encode_varint_vec(prefix, dict);
      encode_varint_vec(s.size() - prefix, dict);
      append_bytes(s.substr(prefix), dict);
      previous = s;
    }
    write_block(BlockType::StringDict, dict, output_);
  }
  write_block(BlockType::Data, block_, output_);
  block_.clear();
  string_table_.clear();
}

Result<std::vector<std::uint8_t>> Encoder::finish() && {
  flush_block();
  if (!header_written_) {
    write_header(output_);
    header_written_ = true;
  }
  write_trailer(output_);
  block_ = {};
  string_table_ = {};
  return std::move(output_);
}

}  // namespace tuvax
