// Runs one decode or one parse of a file's contents and reports the outcome,
// so that the resource tests can read this process's peak memory on its own.
//
//   tuvax_hostile_child decode|parse FILE
//
// prints "<nanoseconds> ok <values>" or "<nanoseconds> error <message>"; the
// message is cut at 200 bytes (a parse error may quote a megabyte of token).

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/decoder.hpp"
#include "tuvax/text.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s decode|parse FILE\n", argv[0]);
    return 2;
  }
  const std::string_view mode = argv[1];
  std::ifstream f(argv[2], std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  const std::vector<char> input((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());

  const auto start = std::chrono::steady_clock::now();
  std::string outcome;
  if (mode == "decode") {
    tuvax::Decoder dec(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
    auto r = dec.decode_all_owned();
    outcome = r ? "ok " + std::to_string(r->size()) : "error " + r.error().message();
  } else if (mode == "parse") {
    auto r = tuvax::parse(std::string_view(input.data(), input.size()));
    outcome = r ? "ok 1" : "error " + r.error().message();
  } else {
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  if (outcome.size() > 200) outcome.resize(200);
  std::printf("%lld %s\n", static_cast<long long>(ns.count()), outcome.c_str());
  return 0;
}
