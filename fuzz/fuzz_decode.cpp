// Arbitrary bytes into the decoder: anything but values or a decoder error
// (a crash, a sanitizer report, a timeout, memory past the limit) is a
// finding. Values must also keep the invariants the Python layer relies on.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "oracles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bad = tuvax::oracle::check_binary(std::span(data, size), /*round_trips=*/false);
  if (!bad.empty()) {
    std::fprintf(stderr, "property broken: %s\n", bad.c_str());
    std::abort();
  }
  return 0;
}
