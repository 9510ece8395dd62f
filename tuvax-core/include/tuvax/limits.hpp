#ifndef TUVAX_LIMITS_HPP
#define TUVAX_LIMITS_HPP

#include <cstdint>

namespace tuvax {

// Bounds that keep hostile input from exhausting memory or the stack. The
// encoder consults only max_depth and max_items; the decoder all five.
struct Limits {
  std::uint64_t max_depth = 128;                // containers nested at most this deep
  std::uint64_t max_block_size = 0x4000000;     // 64 MiB: largest block payload
  std::uint64_t max_items = 1000000;            // elements, entries or dict entries in one count
  std::uint64_t max_memory = 0x10000000;        // 256 MiB: string bytes one decoder may produce
  std::uint64_t max_string_len = 0x1000000;     // 16 MiB: longest single string or byte string
};

}  // namespace tuvax

#endif  // TUVAX_LIMITS_HPP
