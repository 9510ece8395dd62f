#ifndef TUVAX_VARINT_HPP
#define TUVAX_VARINT_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tuvax/error.hpp"

namespace tuvax {

inline constexpr std::size_t max_varint_len = 10;

struct Varint {
  std::uint64_t value;
  std::size_t consumed;  // 1 to 10
};

// Appends the shortest unsigned LEB128 form of `value` to `out`, growing it at
// most once.
void encode_varint_vec(std::uint64_t value, std::vector<std::uint8_t>& out);

// Writes the shortest unsigned LEB128 form of `value` at `out`, which has
// room for max_varint_len bytes, and returns how many bytes it took.
inline std::size_t write_varint(std::uint64_t value, std::uint8_t* out) noexcept {
  std::size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<std::uint8_t>(value);
  return n;
}

// How many bytes write_varint() takes for `value`.
constexpr std::size_t varint_size(std::uint64_t value) noexcept {
  std::size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

// Reads one varint from data[pos, len). Never reads at or beyond `len` and
// moves no cursor: the caller adds `consumed`. Errors: UnexpectedEof(pos) when
// pos >= len, UnexpectedEof(len) when the input ends inside the varint,
// VarintOverflow when the tenth byte is above 1.
[[nodiscard]] Result<Varint> decode_varint(const std::uint8_t* data, std::size_t len, std::size_t pos) noexcept;

constexpr std::uint64_t zigzag_encode(std::int64_t n) noexcept {
  return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}
constexpr std::int64_t zigzag_decode(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
}

}  // namespace tuvax

#endif  // TUVAX_VARINT_HPP
