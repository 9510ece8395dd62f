#ifndef TUVAX_LIMITS_HPP
#define TUVAX_LIMITS_HPP

#include <cstdint>

namespace tuvax {

// Bounds that keep hostile input from exhausting memory or the stack. The
// decoder enforces all five, and the encoder enforces them too, so that what
// it writes reads back.
struct Limits {
  std::uint64_t max_depth = 128;                // containers nested at most this deep
  std::uint64_t max_block_size = 0x4000000;     // 64 MiB: largest block payload
  std::uint64_t max_items = 1000000;            // elements, entries or dict entries in one count
  std::uint64_t max_memory = 0x10000000;        // 256 MiB: string bytes one decoder may produce
  std::uint64_t max_string_len = 0x1000000;     // 16 MiB: longest single string or byte string
};

// The most members a reader reserves room for from a count it has not yet
// seen filled: a forged count may promise far more than the bytes behind it
// hold, so larger containers and dictionaries grow as their members arrive.
inline constexpr std::uint64_t max_reservation = 1024;

// Running totals of sizes stop at the largest value instead of wrapping.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? ~std::uint64_t{0} : sum;
}

}  // namespace tuvax

#endif  // TUVAX_LIMITS_HPP
