#ifndef TUVAX_ENCODER_HPP
#define TUVAX_ENCODER_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tuvax/error.hpp"
#include "tuvax/header.hpp"  // Compression
#include "tuvax/limits.hpp"
#include "tuvax/value.hpp"

namespace tuvax {

// Writes a sequence of Value trees as one binary document. Open until
// finish(), which consumes it. Not thread-safe; one user at a time.
//
// Example:
//   tuvax::Encoder enc;
//   enc.enable_dedup();
//   if (auto r = enc.encode_value(v); !r) return r.error();
//   auto bytes = std::move(enc).finish();
class Encoder {
 public:
  Encoder();

  // Shares repeated Str values through the string dictionary from now on.
  void enable_dedup() noexcept { dedup_ = true; }
  bool dedup() const noexcept { return dedup_; }
  // Stored and reported, but every block is written uncompressed.
  void set_compression(Compression c) noexcept { compression_ = c; }
  Compression compression() const noexcept { return compression_; }

  // Appends one top-level value. Errors: NestingTooDeep(depth, max),
  // TooManyItems(count, max). On failure no byte of `value` stays in the
  // block and the encoder remains usable.
  [[nodiscard]] Result<void> encode_value(const Value& value);

  // Completes the document (header, string dictionary, data block, trailer)
  // and hands over the bytes.
  [[nodiscard]] Result<std::vector<std::uint8_t>> finish() &&;

 private:
  // Appends one value's encoding to block_; recursive over containers.
  [[nodiscard]] Result<void> encode_value_inner(const Value& value);
  // The depth and count checks a container passes before any of its bytes.
  [[nodiscard]] Result<void> check_container(std::size_t count) const;
  // A Str in full, or as a reference to its first occurrence under dedup.
  void encode_str(const std::string& s);
  // Moves the current block (and its string dictionary) into output_.
  void flush_block();

  std::vector<std::uint8_t> output_;
  std::vector<std::uint8_t> block_;
  std::unordered_map<std::string, std::uint32_t> string_table_;
  std::uint64_t depth_ = 0;
  Limits limits_;
  bool header_written_ = false;
  bool dedup_ = false;
  Compression compression_ = Compression::None;
};

}  // namespace tuvax

#endif  // TUVAX_ENCODER_HPP
