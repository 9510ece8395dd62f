#include "tuvax/header.hpp"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>  // std::min
#include <cstring>    // std::memcpy

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

void write_block_header(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  out.push_back(static_cast<std::uint8_t>(type));
  encode_varint_vec(payload.size(), out);
  out.push_back(static_cast<std::uint8_t>(Compression::None));
  append_le64(xxh64(payload), out);
}

void write_block(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  write_block_header(type, payload, out);
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

namespace tuvax {

void assemble_document(std::span<const std::span<const std::uint8_t>> pieces, std::span<std::uint8_t> out) noexcept {
  // Small enough that a copied stretch is still in the first-level cache
  // when it is hashed.
  constexpr std::size_t stretch = 16 * 1024;
  XXH64_state_t state;
  XXH64_reset(&state, 0);
  std::uint8_t* dst = out.data();
  for (const auto piece : pieces) {
    for (std::size_t at = 0; at < piece.size(); at += stretch) {
      const std::size_t n = std::min(stretch, piece.size() - at);
      std::memcpy(dst, piece.data() + at, n);
      XXH64_update(&state, dst, n);
      dst += n;
    }
  }
  // The trailer: type, length 8, compression 0, checksum, then the hash.
  std::uint8_t* payload = dst + 11;
  std::uint64_t file_hash = XXH64_digest(&state);
  for (int i = 0; i < 8; ++i, file_hash >>= 8) payload[i] = static_cast<std::uint8_t>(file_hash);
  dst[0] = static_cast<std::uint8_t>(BlockType::Trailer);
  dst[1] = 8;
  dst[2] = static_cast<std::uint8_t>(Compression::None);
  std::uint64_t checksum = XXH64(payload, 8, 0);
  for (int i = 0; i < 8; ++i, checksum >>= 8) dst[3 + i] = static_cast<std::uint8_t>(checksum);
}

}  // namespace tuvax
