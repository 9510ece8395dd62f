// Whatever decodes must encode again (with and without string sharing),
// decode back to the same values, encode stably, and survive the text round
// trip under the reading-back rules. Every value the encoder accepts, under
// the default limits and under small ones that split blocks and fill
// dictionaries, must decode back equal; it may refuse only what a reader
// would refuse.

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
