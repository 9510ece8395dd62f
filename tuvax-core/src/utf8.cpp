#include "tuvax/detail/utf8.hpp"

#include <simdutf.h>

namespace tuvax::detail {

bool is_valid_utf8_simd(const std::uint8_t* s, std::size_t len) noexcept {
  return simdutf::validate_utf8(reinterpret_cast<const char*>(s), len);
}

}  // namespace tuvax::detail
