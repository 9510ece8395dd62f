// Resource bounds under hostile input. Each input is decoded or parsed in a
// child process (tuvax_hostile_child), which reports its peak resident memory
// and the time the decode or parse took: the peak must stay under max_memory
// plus a small multiple of the input, and the time must grow about linearly
// with the input (compared by ratio between two sizes, never against a clock
// budget).

#include <gtest/gtest.h>
#include <fcntl.h>  // O_WRONLY, O_CREAT
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "doc_framer.hpp"
#include "tuvax/limits.hpp"
#include "tuvax/varint.hpp"

extern char** environ;

namespace tuvax {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

constexpr std::size_t small_size = 128 * 1024;
constexpr std::size_t large_size = 1024 * 1024;

// Value nodes cost more than the byte that encodes them (a Value is 40 bytes,
// an object member 72, and vectors grow by doubling), so the allowance per
// input byte is generous; what it rules out is memory that no input size
// explains: counts, lengths or references expanded without a bound.
constexpr std::uint64_t bytes_per_input_byte = 64;
constexpr std::uint64_t baseline = 16u << 20;  // the program, its libraries, the input copy

struct ChildRun {
  std::string outcome;  // "ok N" or "error <message>"
  std::uint64_t nanoseconds = 0;
  std::uint64_t peak_bytes = 0;
};

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "tuvax_resource_" + std::to_string(::getpid()) + "_" + name;
}

ChildRun run_child(const char* mode, const std::vector<std::uint8_t>& input) {
  ChildRun run;
  const std::string in_path = temp_path("in");
  const std::string out_path = temp_path("out");
  {
    std::ofstream f(in_path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string child = TUVAX_HOSTILE_CHILD;
  char* argv[] = {child.data(), const_cast<char*>(mode), const_cast<char*>(in_path.c_str()), nullptr};
  pid_t pid;
  const int rc = posix_spawn(&pid, child.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << child << ": " << rc;
    return run;
  }
  int status = 0;
  struct rusage usage {};
  // wait4 reports this one child's usage (RUSAGE_CHILDREN would give the
  // largest of all children so far); it is the fallback for the peak.
  if (::wait4(pid, &status, 0, &usage) != pid) {
    ADD_FAILURE() << "wait4 failed";
    return run;
  }
  std::ifstream out(out_path);
  std::string line((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  std::remove(in_path.c_str());
  std::remove(out_path.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child did not exit cleanly (status " << status << "): " << line;
    return run;
  }
  std::istringstream fields(line);
  long long peak_kib = -1;
  fields >> run.nanoseconds >> peak_kib;
  std::getline(fields >> std::ws, run.outcome);
  // The child's own high-water mark; ru_maxrss can include this process's.
  run.peak_bytes = static_cast<std::uint64_t>(peak_kib > 0 ? peak_kib : usage.ru_maxrss) * 1024;
  return run;
}

// One hostile shape: builds an input of about `size` bytes.
struct Shape {
  const char* name;
  const char* mode;
  std::function<std::vector<std::uint8_t>(std::size_t)> build;
  const char* outcome_prefix;  // what the large input must give
};

void expect_bounded(const Shape& shape) {
  SCOPED_TRACE(shape.name);
  ChildRun small = run_child(shape.mode, shape.build(small_size));
  const std::vector<std::uint8_t> large_input = shape.build(large_size);
  ASSERT_LE(large_input.size(), large_size);
  ChildRun large = run_child(shape.mode, large_input);
  EXPECT_EQ(large.outcome.rfind(shape.outcome_prefix, 0), 0u) << large.outcome;

  const std::uint64_t bound = Limits{}.max_memory + bytes_per_input_byte * large_input.size() + baseline;
  if (!sanitized) {
    EXPECT_LE(large.peak_bytes, bound) << "peak " << (large.peak_bytes >> 20) << " MiB for "
                                       << large_input.size() << " input bytes";
  }
  // Linear time: 8 times the input may take at most 24 times as long. Short
  // runs are all noise, so only runs above 20 ms are compared, each the best
  // of up to three tries.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (large.nanoseconds < 20'000'000 || large.nanoseconds <= 24 * std::max<std::uint64_t>(small.nanoseconds, 1))
      break;
    small.nanoseconds = std::min(small.nanoseconds, run_child(shape.mode, shape.build(small_size)).nanoseconds);
    large.nanoseconds = std::min(large.nanoseconds, run_child(shape.mode, large_input).nanoseconds);
  }
  if (large.nanoseconds >= 20'000'000) {
    EXPECT_LE(large.nanoseconds, 24 * std::max<std::uint64_t>(small.nanoseconds, 1))
        << "small " << small.nanoseconds << " ns, large " << large.nanoseconds << " ns";
  }
  std::printf("[ resource ] %-22s peak %4llu MiB, %7.1f ms (small %6.1f ms)  %s\n", shape.name,
              static_cast<unsigned long long>(large.peak_bytes >> 20), large.nanoseconds / 1e6,
              small.nanoseconds / 1e6, large.outcome.substr(0, 80).c_str());
}

// ---- Building hostile documents ----

void put_varint(std::uint64_t v, std::vector<std::uint8_t>& out) { encode_varint_vec(v, out); }

using test::data_doc;
using test::document;

// Room left for the header, the block framing and the trailer when a shape
// fills a budget of `size` bytes for the whole document.
constexpr std::size_t framing = 64;

std::vector<std::uint8_t> fill(std::vector<std::uint8_t> head, const std::vector<std::uint8_t>& unit,
                               std::size_t budget) {
  while (head.size() + unit.size() <= budget) head.insert(head.end(), unit.begin(), unit.end());
  return head;
}

std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

std::string fill_text(std::string head, const std::string& unit, std::size_t budget, const std::string& tail = "") {
  while (head.size() + unit.size() + tail.size() <= budget) head += unit;
  return head + tail;
}

TEST(resource_test, decoding_hostile_documents_stays_bounded) {
  const std::vector<Shape> shapes = {
      {"deep nesting", "decode",
       [](std::size_t n) { return data_doc(fill({}, {0x08, 0x01}, n - framing)); },
       "error Nesting depth 128 exceeds maximum 128"},
      {"huge counts", "decode",
       [](std::size_t n) {
         // 128 nested arrays each promising a million elements, then nulls.
         std::vector<std::uint8_t> p;
         for (int i = 0; i < 128; ++i) {
           p.push_back(0x08);
           put_varint(1'000'000, p);
         }
         return data_doc(fill(std::move(p), {0x00}, n - framing));
       },
       "error Unexpected end of input"},
      {"string references", "decode",
       [](std::size_t n) {
         // One 64 KiB string, then references to it: each copies 64 KiB.
         std::vector<std::uint8_t> p = {0x05, 0x00};
         put_varint(65536, p);
         p.insert(p.end(), 65536, 'x');
         return data_doc(fill(std::move(p), {0x0A, 0x00}, n - framing));
       },
       "error Memory limit exceeded"},
      {"large dictionary", "decode",
       [](std::size_t n) {
         // Distinct one-byte-suffix entries, then a data block referring to
         // each of them.
         const std::size_t entries = (n - framing) / 11;
         std::vector<std::uint8_t> dict, data;
         put_varint(entries, dict);
         for (std::size_t i = 0; i < entries; ++i) {
           put_varint(i, dict);
           dict.push_back(0);
           dict.push_back(1);
           dict.push_back(static_cast<std::uint8_t>('a' + i % 26));
           data.push_back(0x0A);
           put_varint(i, data);
         }
         return document({{4, std::move(dict)}, {1, std::move(data)}});
       },
       "ok "},
      {"front-coded prefixes", "decode",
       [](std::size_t n) {
         // Each entry keeps all of the previous one and adds a byte, so the
         // strings grow without the input growing.
         const std::size_t entries = (n - framing - 1100) / 10;
         std::vector<std::uint8_t> dict;
         put_varint(entries, dict);
         for (std::size_t i = 0; i < entries; ++i) {
           put_varint(i, dict);
           put_varint(i == 0 ? 0 : 0xFFFFFFFF, dict);
           put_varint(i == 0 ? 1024 : 1, dict);
           dict.insert(dict.end(), i == 0 ? 1024 : 1, 'p');
         }
         return document({{4, std::move(dict)}, {1, {}}});
       },
       "error Memory limit exceeded"},
      {"object members", "decode",
       [](std::size_t n) {
         std::vector<std::uint8_t> p = {0x06};
         put_varint(1'000'000, p);
         return data_doc(fill(std::move(p), {0x00, 0x00}, n - framing));  // empty key, null
       },
       "error Unexpected end of input"},
      {"tiny strings", "decode",
       [](std::size_t n) { return data_doc(fill({}, {0x05, 0x00, 0x00}, n - framing)); }, "ok "},
      {"array of nulls", "decode",
       [](std::size_t n) {
         std::vector<std::uint8_t> p = {0x08};
         put_varint(1'000'000, p);
         return data_doc(fill(std::move(p), {0x00}, n - framing));
       },
       "ok "},  // a million nulls, then more nulls after the array
  };
  for (const Shape& s : shapes) expect_bounded(s);
}

TEST(resource_test, parsing_hostile_text_stays_bounded) {
  const std::vector<Shape> shapes = {
      {"deep brackets", "parse", [](std::size_t n) { return text(std::string(n, '[')); },
       "error Text parse error at line 1, col 129: nesting depth exceeds maximum 128"},
      {"endless comments", "parse", [](std::size_t n) { return text(fill_text("", "/*", n)); },
       "error Text parse error at line 1, col"},
      {"long string", "parse", [](std::size_t n) { return text("\"" + std::string(n - 2, 'a') + "\""); }, "ok 1"},
      {"long integer", "parse", [](std::size_t n) { return text(std::string(n, '9')); },
       "error Text parse error at line 1, col"},
      {"long float", "parse", [](std::size_t n) { return text("0." + std::string(n - 2, '3')); }, "ok 1"},
      {"large array", "parse", [](std::size_t n) { return text(fill_text("[", "0 ", n, "]")); }, "ok 1"},
      {"many members", "parse", [](std::size_t n) { return text(fill_text("{", "a: null;", n, "}")); }, "ok 1"},
      {"base64 payload", "parse", [](std::size_t n) { return text(fill_text("b64#", "AAAA", n)); }, "ok 1"},
      {"deep empty arrays", "parse", [](std::size_t n) { return text(fill_text("[", "[] ", n, "]")); }, "ok 1"},
  };
  for (const Shape& s : shapes) expect_bounded(s);
}

}  // namespace
}  // namespace tuvax
