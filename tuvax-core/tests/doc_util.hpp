#ifndef TUVAX_DOC_UTIL_HPP
#define TUVAX_DOC_UTIL_HPP

// Building and taking apart binary documents in tests, independently of the
// Encoder and Decoder under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "tuvax/header.hpp"
#include "tuvax/varint.hpp"

namespace tuvax::test {

using ByteVec = std::vector<std::uint8_t>;

struct RawBlock {
  std::uint8_t type;
  ByteVec payload;
  std::uint8_t compression = 0;
};

// Appends a block whose checksum is right for its payload, whatever its
// compression code says.
inline void append_block(const RawBlock& b, ByteVec& out) {
  out.push_back(b.type);
  encode_varint_vec(b.payload.size(), out);
  out.push_back(b.compression);
  append_le64(xxh64(b.payload), out);
  out.insert(out.end(), b.payload.begin(), b.payload.end());
}

// Header, the blocks, and (unless `trailer` is false) a trailer that verifies.
inline ByteVec document(const std::vector<RawBlock>& blocks, bool trailer = true) {
  ByteVec out;
  write_header(out);
  for (const RawBlock& b : blocks) append_block(b, out);
  if (trailer) write_trailer(out);
  return out;
}

inline ByteVec data_doc(const ByteVec& payload) { return document({{0x01, payload}}); }

// The blocks of a well-formed document, trailer included, in order.
inline std::vector<RawBlock> split_blocks(const ByteVec& doc) {
  std::vector<RawBlock> blocks;
  std::size_t pos = header_size;
  while (pos < doc.size()) {
    RawBlock b;
    b.type = doc[pos++];
    auto len = decode_varint(doc.data(), doc.size(), pos);
    EXPECT_TRUE(len.has_value());
    if (!len) return blocks;
    pos += len->consumed;
    b.compression = doc[pos++];
    const std::uint64_t checksum = load_le64(doc.data() + pos);
    pos += 8;
    b.payload.assign(doc.begin() + static_cast<std::ptrdiff_t>(pos),
                     doc.begin() + static_cast<std::ptrdiff_t>(pos + len->value));
    EXPECT_EQ(checksum, xxh64(b.payload)) << "block " << blocks.size();
    pos += len->value;
    blocks.push_back(std::move(b));
  }
  return blocks;
}

}  // namespace tuvax::test

#endif  // TUVAX_DOC_UTIL_HPP
