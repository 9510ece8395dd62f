#ifndef TUVAX_TESTING_DOC_FRAMER_HPP
#define TUVAX_TESTING_DOC_FRAMER_HPP

// Building, taking apart and repairing binary documents, independently of the
// Encoder and Decoder under test. The core tests, the hostile-input tests and
// the fuzz mutator all frame documents through this one header. No
// GoogleTest here: the fuzz targets link without it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tuvax/framing.hpp"  // xxh64, append_le64, write_header
#include "tuvax/varint.hpp"

namespace tuvax::test {

using ByteVec = std::vector<std::uint8_t>;

// One block as it is framed. Left unset, the declared length is the payload's
// size and the checksum is the XXH64 of the payload, whatever the compression
// code says; set, they are written as given, so a test can frame a block that
// lies about its length or carries a wrong checksum.
struct RawBlock {
  std::uint8_t type = 0x01;
  ByteVec payload = {};
  std::uint8_t compression = 0;
  std::optional<std::uint64_t> length = std::nullopt;
  std::optional<std::uint64_t> checksum = std::nullopt;

  friend bool operator==(const RawBlock&, const RawBlock&) = default;
};

struct RawDocument {
  std::uint8_t reserved = 0;  // header byte 7
  std::vector<RawBlock> blocks = {};
  bool trailer = true;  // a trailer that verifies, over everything before it
};

inline void append_block(const RawBlock& b, ByteVec& out) {
  out.push_back(b.type);
  encode_varint_vec(b.length.value_or(b.payload.size()), out);
  out.push_back(b.compression);
  append_le64(b.checksum.value_or(xxh64(b.payload)), out);
  out.insert(out.end(), b.payload.begin(), b.payload.end());
}

// Appends the trailer carrying the hash of everything already in `out`.
inline void write_trailer(ByteVec& out) {
  ByteVec file_hash;
  append_le64(xxh64(out), file_hash);
  append_block({.type = 0xFF, .payload = file_hash}, out);
}

inline ByteVec join_document(const RawDocument& doc) {
  ByteVec out;
  write_header(out);
  out[header_size - 1] = doc.reserved;
  for (const RawBlock& b : doc.blocks) append_block(b, out);
  if (doc.trailer) write_trailer(out);
  return out;
}

// The header, the blocks, and (unless `trailer` is false) a trailer.
inline ByteVec document(std::vector<RawBlock> blocks, bool trailer = true) {
  return join_document({.reserved = 0, .blocks = std::move(blocks), .trailer = trailer});
}

// A document holding one Data block with `payload`.
inline ByteVec data_doc(ByteVec payload) { return document({{.type = 0x01, .payload = std::move(payload)}}); }

// Offset of the payload of the first block in a document whose first block
// has a payload of `payload_size` bytes: header, type, length varint,
// compression, checksum.
inline std::uint64_t first_payload_offset(std::uint64_t payload_size) {
  ByteVec len;
  encode_varint_vec(payload_size, len);
  return header_size + 1 + len.size() + 1 + 8;
}

// Reads whatever framing there is and never fails: a block whose length runs
// past the end takes the rest of the input as its payload, and reading stops
// at the trailer or at a byte that is no block type. Lengths and checksums are
// left unset, so joining the result frames every block afresh; for a
// well-formed document, join_document(split_document(doc)) == doc.
inline RawDocument split_document(std::span<const std::uint8_t> in) {
  RawDocument doc;
  if (in.size() < header_size) return doc;
  doc.reserved = in[header_size - 1];
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

inline void store_le64(std::uint64_t v, std::uint8_t* p) noexcept {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Every block checksum and the trailer's file hash stop a changed document at
// its first block. This recomputes, in place, the checksum of every block
// whose framing holds together and whose checksum the decoder verifies
// (compression 0, or any StringDict), then the trailer's checksum and file
// hash when all 19 trailer bytes are there, so that a change reaches the
// dictionary loader and the value decoder. The layout is left alone: walking
// stops at the first block whose framing is broken, and the decoder gets to
// report it.
inline void recompute_checksums(ByteVec& doc) {
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

}  // namespace tuvax::test

#endif  // TUVAX_TESTING_DOC_FRAMER_HPP
