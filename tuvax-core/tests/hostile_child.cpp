// Runs one decode or one parse of a file's contents and reports the outcome,
// so that the resource tests can read this process's peak memory on its own.
//
//   tuvax_hostile_child decode|parse FILE
//
// prints "<CPU nanoseconds> <peak KiB> ok <values>" or "<nanoseconds> <peak KiB>
// error <message>"; the message is cut at 200 bytes (a parse error may quote a
// megabyte of token). The peak is VmHWM, the high-water mark of this program's
// own address space: getrusage and wait4 report the larger of that and the
// spawning process's, because posix_spawn starts the child in the parent's
// address space before the exec.

#include <ctime>  // clock_gettime
#include <cstdio>
#include <fstream>
#include <sstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/decoder.hpp"
#include "tuvax/text.hpp"

namespace {

long peak_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

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

  // CPU time, not wall time: the comparison of a small and a large run must
  // not depend on what else the machine is doing.
  const auto cpu_now = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
  };
  const long long start = cpu_now();
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
  const long long ns = cpu_now() - start;
  if (outcome.size() > 200) outcome.resize(200);
  std::printf("%lld %ld %s\n", ns, peak_kib(), outcome.c_str());
  return 0;
}
