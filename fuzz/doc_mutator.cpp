// Structure-aware mutation for the binary targets. Random bytes almost never
// survive a block checksum, so most mutations take the document apart into
// blocks, change one block (its payload through libFuzzer's own mutator, or
// its type, compression code or place), and put the document together again
// with fresh lengths, checksums and trailer. One mutation in eight is a plain
// byte mutation of the whole input, so the header, framing, checksum and
// trailer checks keep their coverage too.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "doc_framer.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

using tuvax::test::RawBlock;
using tuvax::test::RawDocument;

void mutate_payload(std::vector<std::uint8_t>& payload, std::size_t room) {
  const std::size_t size = payload.size();
  payload.resize(size + room + 1);
  payload.resize(LLVMFuzzerMutate(payload.data(), size, payload.size()));
}

void mutate_document(RawDocument& doc, std::minstd_rand& rng, std::size_t room) {
  if (doc.blocks.empty()) doc.blocks.push_back(RawBlock{});
  RawBlock& block = doc.blocks[rng() % doc.blocks.size()];
  switch (rng() % 16) {
    case 0:  // another of the valid block types
      block.type = static_cast<std::uint8_t>(1 + rng() % 4);
      break;
    case 1:  // mostly uncompressed; now and then a code the reader refuses
      block.compression = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() % 6 : 0);
      break;
    case 2:  // a copy of a block somewhere else: a second dictionary, a second data block
      if (doc.blocks.size() < 8) {
        RawBlock copy = block;
        doc.blocks.insert(doc.blocks.begin() + static_cast<std::ptrdiff_t>(rng() % (doc.blocks.size() + 1)),
                          std::move(copy));
      }
      break;
    case 3:
      if (doc.blocks.size() > 1) doc.blocks.erase(doc.blocks.begin() + static_cast<std::ptrdiff_t>(rng() % doc.blocks.size()));
      break;
    case 4:
      if (doc.blocks.size() > 1) std::swap(block, doc.blocks[rng() % doc.blocks.size()]);
      break;
    case 5:
      doc.reserved = static_cast<std::uint8_t>(rng());
      break;
    default:
      mutate_payload(block.payload, room);
      break;
  }
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                                unsigned int seed) {
  std::minstd_rand rng(seed);
  if (rng() % 8 == 0) return LLVMFuzzerMutate(data, size, max_size);
  RawDocument doc = tuvax::test::split_document(std::span(data, size));
  const int rounds = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < rounds; ++i) mutate_document(doc, rng, max_size > size ? max_size - size : 0);
  const std::vector<std::uint8_t> out = tuvax::test::join_document(doc);
  if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, out.data(), out.size());
  return out.size();
}

// Crossing two documents: the blocks of the first with one block of the
// second put in, or the value streams of two data blocks joined (values are
// self-delimiting, so the joint payload is still a sequence of values).
extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* data1, std::size_t size1,
                                                  const std::uint8_t* data2, std::size_t size2,
                                                  std::uint8_t* out, std::size_t max_out_size, unsigned int seed) {
  std::minstd_rand rng(seed);
  RawDocument a = tuvax::test::split_document(std::span(data1, size1));
  RawDocument b = tuvax::test::split_document(std::span(data2, size2));
  if (b.blocks.empty()) return 0;
  const RawBlock& donor = b.blocks[rng() % b.blocks.size()];
  if (!a.blocks.empty() && rng() % 2 == 0) {
    RawBlock& host = a.blocks[rng() % a.blocks.size()];
    const std::size_t cut = host.payload.empty() ? 0 : rng() % (host.payload.size() + 1);
    host.payload.resize(cut);
    host.payload.insert(host.payload.end(), donor.payload.begin(), donor.payload.end());
  } else {
    a.blocks.insert(a.blocks.begin() + static_cast<std::ptrdiff_t>(rng() % (a.blocks.size() + 1)), donor);
  }
  const std::vector<std::uint8_t> joined = tuvax::test::join_document(a);
  if (joined.size() > max_out_size) return 0;
  std::memcpy(out, joined.data(), joined.size());
  return joined.size();
}
