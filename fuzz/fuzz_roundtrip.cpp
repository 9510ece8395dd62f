// Whatever decodes must encode again (with and without string sharing),
// decode back to the same values, encode stably, and survive the text round
// trip under the reading-back rules.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "oracles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bad = tuvax::oracle::check_binary(std::span(data, size), /*round_trips=*/true);
  if (!bad.empty()) {
    std::fprintf(stderr, "property broken: %s\n", bad.c_str());
    std::abort();
  }
  return 0;
}
