#ifndef TUVAX_BASE64_HPP
#define TUVAX_BASE64_HPP

// Base64 with the standard alphabet and '=' padding, as the text notation
// writes byte strings. Decoding is strict so that every byte string has one
// spelling: padding must be canonical and the unused low bits of the last
// symbol zero.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>  // std::expected, std::unexpected
#include <format>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tuvax::detail {

inline constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Bytes needed for the encoding of n bytes, or 0 when that overflows.
inline constexpr std::size_t base64_encoded_size(std::size_t n) noexcept {
  const std::size_t groups = n / 3 + (n % 3 != 0);
  return groups > SIZE_MAX / 4 ? 0 : groups * 4;
}

// Appends the padded encoding of `in` to `out`.
inline void base64_encode(std::span<const std::uint8_t> in, std::string& out) {
  const std::size_t old = out.size();
  out.resize(old + base64_encoded_size(in.size()));
  char* p = out.data() + old;
  std::size_t i = 0;
  for (; in.size() - i >= 3; i += 3) {
    const std::uint32_t w = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    *p++ = base64_alphabet[w >> 18];
    *p++ = base64_alphabet[(w >> 12) & 0x3F];
    *p++ = base64_alphabet[(w >> 6) & 0x3F];
    *p++ = base64_alphabet[w & 0x3F];
  }
  if (const std::size_t rest = in.size() - i; rest != 0) {
    const std::uint32_t w = (std::uint32_t{in[i]} << 16) | (rest == 2 ? std::uint32_t{in[i + 1]} << 8 : 0);
    *p++ = base64_alphabet[w >> 18];
    *p++ = base64_alphabet[(w >> 12) & 0x3F];
    *p++ = rest == 2 ? base64_alphabet[(w >> 6) & 0x3F] : '=';
    *p++ = '=';
  }
}

namespace base64_impl {

inline constexpr std::uint8_t no_symbol = 0xFF;

inline constexpr std::array<std::uint8_t, 256> decode_table = [] {
  std::array<std::uint8_t, 256> t{};
  t.fill(no_symbol);
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(base64_alphabet[i])] = i;
  return t;
}();

}  // namespace base64_impl

// Decodes `in` strictly. On failure the error is one of these descriptions,
// offsets counting bytes of `in`:
//   "Invalid symbol {byte}, offset {offset}."  the first byte outside the
//       alphabet, or the first '=' that is not part of the final group's
//       padding (padding is the last one or two places of the final group);
//   "Invalid input length: {length}"  a final group of one symbol;
//   "Invalid padding"  a final group of two or three symbols that is not
//       padded to four with '=';
//   "Invalid last symbol {byte}, offset {offset}."  the last symbol carries
//       bits that fall outside the decoded bytes.
[[nodiscard]] inline std::expected<std::vector<std::uint8_t>, std::string> base64_decode(
    std::string_view in) {
  using base64_impl::decode_table;
  using base64_impl::no_symbol;
  const std::size_t len = in.size();
  const auto byte_at = [&](std::size_t i) { return static_cast<std::uint8_t>(in[i]); };
  // The final group is the last group of four, possibly cut short.
  const std::size_t final_group = len == 0 ? 0 : (len - 1) / 4 * 4;

  std::size_t data_len = len;  // symbols before the padding
  for (std::size_t i = 0; i < len; ++i) {
    const std::uint8_t b = byte_at(i);
    if (decode_table[b] != no_symbol) continue;
    if (b == '=' && i >= final_group + 2) {
      // Padding: the rest of the input must be '=' as well.
      std::size_t j = i;
      while (j < len && in[j] == '=') ++j;
      if (j == len) {
        data_len = i;
        break;
      }
    }
    return std::unexpected(std::format("Invalid symbol {}, offset {}.", b, i));
  }

  const std::size_t tail = data_len - final_group;  // data symbols in the final group
  if (len != 0 && tail == 1) return std::unexpected(std::format("Invalid input length: {}", len));
  if (len % 4 != 0) return std::unexpected(std::string("Invalid padding"));

  std::vector<std::uint8_t> out;
  out.reserve(data_len / 4 * 3 + 2);
  std::size_t i = 0;
  for (; data_len - i >= 4; i += 4) {
    const std::uint32_t w = (std::uint32_t{decode_table[byte_at(i)]} << 18) |
                            (std::uint32_t{decode_table[byte_at(i + 1)]} << 12) |
                            (std::uint32_t{decode_table[byte_at(i + 2)]} << 6) |
                            decode_table[byte_at(i + 3)];
    out.push_back(static_cast<std::uint8_t>(w >> 16));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w));
  }
  if (tail == 2 || tail == 3) {
    std::uint32_t w = (std::uint32_t{decode_table[byte_at(i)]} << 18) |
                      (std::uint32_t{decode_table[byte_at(i + 1)]} << 12);
    if (tail == 3) w |= std::uint32_t{decode_table[byte_at(i + 2)]} << 6;
    const std::size_t last = i + tail - 1;
    // Bits of the last symbol below the final whole byte must be zero.
    const std::uint32_t unused = tail == 2 ? (w & 0xFFFF) : (w & 0xFF);
    if (unused != 0)
      return std::unexpected(std::format("Invalid last symbol {}, offset {}.", byte_at(last), last));
    out.push_back(static_cast<std::uint8_t>(w >> 16));
    if (tail == 3) out.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  return out;
}

}  // namespace tuvax::detail

#endif  // TUVAX_BASE64_HPP
