#ifndef TUVAX_DECODER_HPP
#define TUVAX_DECODER_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tuvax/error.hpp"
#include "tuvax/limits.hpp"
#include "tuvax/value.hpp"

namespace tuvax {

// Reads the top-level values of one complete binary document held in memory.
// Borrows `input` for its lifetime; every value it returns is owned. A
// document decodes only when its blocks end at a trailer whose checksum and
// file hash verify. One pass: build, drain, discard.
class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> input) noexcept : input_(input) {}

  // The next top-level value, std::nullopt once the verified trailer is
  // reached, or the first error.
  [[nodiscard]] Result<std::optional<Value>> decode_next_owned();

  // Every top-level value in order, or the first error (partial results are
  // destroyed).
  [[nodiscard]] Result<std::vector<Value>> decode_all_owned();

 private:
  // Declared by the implementation as needed.
  std::span<const std::uint8_t> input_;
};

}  // namespace tuvax

#endif  // TUVAX_DECODER_HPP
