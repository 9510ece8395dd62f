#ifndef TUVAX_DETAIL_WIRE_HPP
#define TUVAX_DETAIL_WIRE_HPP

// Wire tags of values inside a Data block, shared by the encoder and the
// decoder so the two can never drift apart.

#include <cstdint>

namespace tuvax::detail::wire {

inline constexpr std::uint8_t null = 0x00;
inline constexpr std::uint8_t boolean = 0x01;
inline constexpr std::uint8_t uint = 0x02;
inline constexpr std::uint8_t sint = 0x03;
inline constexpr std::uint8_t real = 0x04;
inline constexpr std::uint8_t str_or_bytes = 0x05;  // then a subtype byte
inline constexpr std::uint8_t object_start = 0x06;
inline constexpr std::uint8_t object_end = 0x07;
inline constexpr std::uint8_t array_start = 0x08;
inline constexpr std::uint8_t array_end = 0x09;
inline constexpr std::uint8_t str_ref = 0x0A;

inline constexpr std::uint8_t subtype_str = 0x00;
inline constexpr std::uint8_t subtype_bytes = 0x01;  // any nonzero subtype reads as bytes

}  // namespace tuvax::detail::wire

#endif  // TUVAX_DETAIL_WIRE_HPP
