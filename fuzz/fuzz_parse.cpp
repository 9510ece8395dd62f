// Arbitrary text into the parser: errors must be positioned TextParse errors;
// a parsed value must read back from its pretty-printed form, print stably,
// and survive the binary round trip.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "oracles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bad =
      tuvax::oracle::check_text(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!bad.empty()) {
    std::fprintf(stderr, "property broken: %s\n", bad.c_str());
    std::abort();
  }
  return 0;
}
