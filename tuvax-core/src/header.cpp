#include "tuvax/header.hpp"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "tuvax/varint.hpp"

namespace tuvax {

std::uint64_t xxh64(std::span<const std::uint8_t> bytes) noexcept {
  return XXH64(bytes.data(), bytes.size(), 0);
}

void append_le64(std::uint64_t v, std::vector<std::uint8_t>& out) {
  std::uint8_t le[8];
  for (auto& b : le) {
    b = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
  out.insert(out.end(), le, le + 8);
}

void write_header(std::vector<std::uint8_t>& out) {
  out.insert(out.end(), magic.begin(), magic.end());
  out.push_back(0);  // reserved
}

void write_block(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  out.push_back(static_cast<std::uint8_t>(type));
  encode_varint_vec(payload.size(), out);
  out.push_back(static_cast<std::uint8_t>(Compression::None));
  append_le64(xxh64(payload), out);
  out.insert(out.end(), payload.begin(), payload.end());
}

void write_trailer(std::vector<std::uint8_t>& out) {
  std::uint64_t file_hash = xxh64(out);
  std::uint8_t payload[8];
  for (auto& b : payload) {
    b = static_cast<std::uint8_t>(file_hash);
    file_hash >>= 8;
  }
  write_block(BlockType::Trailer, payload, out);
}

}  // namespace tuvax
