#ifndef TUVAX_DECODER_HPP
#define TUVAX_DECODER_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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
  // A block as block reading hands it to value decoding: its type byte and
  // its payload's offsets within input_.
  struct BlockSpan {
    std::uint8_t type;
    std::size_t start;
    std::size_t end;
  };

  // The next Data, Reserved2 or Reserved3 block, or a Trailer once its length,
  // checksum and file hash verify. Loads StringDict blocks on the way.
  [[nodiscard]] Result<BlockSpan> read_next_block();
  [[nodiscard]] Result<void> read_header();
  [[nodiscard]] Result<BlockSpan> verify_trailer(std::size_t at);
  [[nodiscard]] Result<void> load_string_dict(std::size_t start, std::size_t end);
  // One value at cursor_ within the current block, which ends at `end`.
  [[nodiscard]] Result<Value> decode_value_owned_at(std::size_t end);
  [[nodiscard]] Result<Value> decode_string(std::size_t end);
  [[nodiscard]] Result<Value> decode_str_ref(std::size_t end);
  [[nodiscard]] Result<Value> decode_array(std::size_t end);
  [[nodiscard]] Result<Value> decode_object(std::size_t end);
  [[nodiscard]] Result<std::uint64_t> read_varint(std::size_t end) noexcept;
  // Adds `bytes` to memory_used_ (saturating) and tests the running total.
  [[nodiscard]] Result<void> count_memory(std::uint64_t bytes) noexcept;

  std::span<const std::uint8_t> input_;
  Limits limits_;
  bool header_read_ = false;
  std::uint8_t reserved_ = 0;  // header byte 7: kept, never examined
  std::size_t read_pos_ = 0;   // next unread byte of the block sequence
  bool in_block_ = false;
  std::size_t block_end_ = 0;  // payload end of the current Data block
  std::size_t cursor_ = 0;     // next unread value byte in the current block
  std::uint64_t depth_ = 0;
  std::uint64_t memory_used_ = 0;
  // The string table. Inline strings are views into input_; dictionary
  // strings are built by front decoding and owned by dict_strings_.
  std::vector<std::string_view> table_;
  std::vector<std::string> dict_strings_;
  bool dictionary_loaded_ = false;
  bool finished_ = false;                 // the trailer verified
  std::optional<TuvaxError> failure_;     // the first error, returned again on later calls
};

}  // namespace tuvax

#endif  // TUVAX_DECODER_HPP
