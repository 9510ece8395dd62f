#include "tuvax/varint.hpp"

#include <array>

namespace tuvax {

void encode_varint_vec(std::uint64_t value, std::vector<std::uint8_t>& out) {
  // Assembled in a scratch array first so that `out` grows at most once.
  std::array<std::uint8_t, max_varint_len> scratch;
  const std::size_t n = write_varint(value, scratch.data());
  out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n));
}

Result<Varint> decode_varint(const std::uint8_t* data, std::size_t len, std::size_t pos) noexcept {
  if (pos >= len) return std::unexpected(TuvaxError::unexpected_eof(pos));
  // Fast path: one byte, the common case for lengths, counts and tags' payloads.
  const std::uint8_t first = data[pos];
  if (first < 0x80) return Varint{first, 1};
  std::uint64_t result = first & 0x7F;
  for (std::size_t i = 1; i < max_varint_len - 1; ++i) {
    if (len - pos <= i) return std::unexpected(TuvaxError::unexpected_eof(len));
    const std::uint8_t b = data[pos + i];
    result |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
    if (b < 0x80) return Varint{result, i + 1};
  }
  // The tenth byte can only carry bit 63.
  if (len - pos <= max_varint_len - 1) return std::unexpected(TuvaxError::unexpected_eof(len));
  const std::uint8_t last = data[pos + max_varint_len - 1];
  if (last > 1) return std::unexpected(TuvaxError::varint_overflow());
  result |= static_cast<std::uint64_t>(last) << 63;
  return Varint{result, max_varint_len};
}

}  // namespace tuvax
