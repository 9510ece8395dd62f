#ifndef TUVAX_DOC_TOOLS_HPP
#define TUVAX_DOC_TOOLS_HPP

// Block-level surgery on binary documents, shared by the hostile-input tests
// and the fuzz targets. Every block checksum and the trailer's file hash stop
// a mutated document at its first block; these helpers put them right again,
// so that a mutation reaches the dictionary loader and the value decoder.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tuvax/header.hpp"
#include "tuvax/varint.hpp"

namespace tuvax::doc_tools {

inline void store_le64(std::uint64_t v, std::uint8_t* p) noexcept {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Recomputes, in place, the checksum of every block whose framing holds
// together and whose checksum the decoder verifies (compression 0, or any
// StringDict), then the trailer's checksum and file hash when all 19 trailer
// bytes are there. The layout is left alone: walking stops at the first block
// whose framing is broken, and the decoder gets to report it.
inline void recompute_checksums(std::vector<std::uint8_t>& doc) {
  std::size_t pos = header_size;
  while (doc.size() >= header_size && pos < doc.size()) {
    const std::uint8_t type = doc[pos];
    if (type == static_cast<std::uint8_t>(BlockType::Trailer)) {
      if (doc.size() - pos < trailer_size) return;
      store_le64(xxh64(std::span(doc).first(pos)), &doc[pos + 11]);
      store_le64(xxh64(std::span(doc).subspan(pos + 11, 8)), &doc[pos + 3]);
      return;
    }
    if (type < 1 || type > 4) return;
    auto len = decode_varint(doc.data(), doc.size(), pos + 1);
    if (!len) return;
    std::size_t p = pos + 1 + len->consumed;
    if (p >= doc.size()) return;
    const std::uint8_t compression = doc[p++];
    if (doc.size() - p < 8) return;
    const std::size_t payload = p + 8;
    if (len->value > doc.size() - payload) return;
    if (compression == 0 || type == static_cast<std::uint8_t>(BlockType::StringDict))
      store_le64(xxh64(std::span(doc).subspan(payload, len->value)), &doc[p]);
    pos = payload + len->value;
  }
}

// A document taken apart into its blocks, for mutations that change payload
// sizes: reassembling writes fresh lengths, checksums and a fresh trailer.
struct RawBlock {
  std::uint8_t type = 1;
  std::uint8_t compression = 0;
  std::vector<std::uint8_t> payload;
};

struct RawDocument {
  std::uint8_t reserved = 0;
  std::vector<RawBlock> blocks;
};

// Reads whatever framing there is and never fails: a block whose length runs
// past the end takes the rest of the input as its payload, and reading stops
// at the trailer or at a byte that is no block type.
inline RawDocument split_document(std::span<const std::uint8_t> in) {
  RawDocument doc;
  if (in.size() < header_size) return doc;
  doc.reserved = in[7];
  std::size_t pos = header_size;
  while (pos < in.size()) {
    RawBlock block;
    block.type = in[pos];
    if (block.type < 1 || block.type > 4) break;
    auto len = decode_varint(in.data(), in.size(), pos + 1);
    std::size_t p = pos + 1 + (len ? len->consumed : 1);
    if (p >= in.size()) break;
    block.compression = in[p++];
    p = in.size() - p < 8 ? in.size() : p + 8;
    const std::size_t n = len && len->value <= in.size() - p ? len->value : in.size() - p;
    block.payload.assign(in.begin() + static_cast<std::ptrdiff_t>(p),
                         in.begin() + static_cast<std::ptrdiff_t>(p + n));
    doc.blocks.push_back(std::move(block));
    pos = p + n;
  }
  return doc;
}

inline std::vector<std::uint8_t> join_document(const RawDocument& doc) {
  std::vector<std::uint8_t> out;
  write_header(out);
  out[header_size - 1] = doc.reserved;
  for (const RawBlock& b : doc.blocks) {
    const std::size_t start = out.size();
    write_block(static_cast<BlockType>(b.type), b.payload, out);
    // write_block always frames as uncompressed; the code sits after the
    // type byte and the length varint.
    std::size_t code_at = start + 1;
    while (out[code_at] & 0x80) ++code_at;
    out[code_at + 1] = b.compression;
  }
  write_trailer(out);
  return out;
}

}  // namespace tuvax::doc_tools

#endif  // TUVAX_DOC_TOOLS_HPP
