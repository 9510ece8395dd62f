#ifndef TUVAX_HEADER_HPP
#define TUVAX_HEADER_HPP

#include <bit>      // std::endian, std::byteswap
#include <cstddef>
#include <cstring>  // std::memcpy
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tuvax {

// ---- Document framing ----
//
// header (8) | block* | trailer (19)
// block: type (1) | varint payload length L | compression (1) | XXH64(payload) LE (8) | payload (L)

inline constexpr std::string_view magic = "TUVAXv1";
inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t trailer_size = 19;
inline constexpr std::size_t empty_document_size = header_size + trailer_size;  // 27

enum class BlockType : std::uint8_t { Data = 0x01, Reserved2 = 0x02, Reserved3 = 0x03, StringDict = 0x04, Trailer = 0xFF };

enum class Compression : std::uint8_t { None = 0, Zstd = 1, Snappy = 2, Lz4 = 3 };

// XXH64 with seed 0 over `bytes`: the format's only hash.
std::uint64_t xxh64(std::span<const std::uint8_t> bytes) noexcept;

// The little-endian 64-bit integer at p (unaligned).
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}
void append_le64(std::uint64_t v, std::vector<std::uint8_t>& out);

// Appends the magic and the reserved byte 0.
void write_header(std::vector<std::uint8_t>& out);
// Appends one block with compression code 0 and the checksum of `payload`.
void write_block(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
// Appends the same block's framing only: everything before its payload.
void write_block_header(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
// Appends the trailer carrying the hash of everything already in `out`.
void write_trailer(std::vector<std::uint8_t>& out);
// Copies `pieces` one after another into `out` and ends it with the trailer,
// whose hash covers them all; out.size() must be their total + trailer_size.
// Each stretch is hashed right after it is copied, while it is in cache.
void assemble_document(std::span<const std::span<const std::uint8_t>> pieces, std::span<std::uint8_t> out) noexcept;

}  // namespace tuvax

#endif  // TUVAX_HEADER_HPP
