// Replays every verdict-named fixture in tests/data through the same checks
// the fuzz targets make: y_*.tvx must decode, n_*.tvx must fail, y_*.txt must
// parse, n_*.txt must fail, and none may break a round-trip property. Inputs
// the fuzzers found are kept here, so each stays fixed on every test run. An
// n_ fixture may carry its exact error message in a sibling .err file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "oracles.hpp"
#include "tuvax/decoder.hpp"
#include "tuvax/text.hpp"

namespace tuvax {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> fixtures(const std::string& extension) {
  std::vector<fs::path> out;
  for (const auto& entry : fs::directory_iterator(TUVAX_TEST_DATA_DIR)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == extension && (name.starts_with("y_") || name.starts_with("n_")))
      out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The message an n_ fixture must fail with, when it names one.
std::string expected_message(const fs::path& p) {
  fs::path err = p;
  err.replace_extension(".err");
  if (!fs::exists(err)) return {};
  std::string m = read_file(err);
  while (!m.empty() && (m.back() == '\n' || m.back() == '\r')) m.pop_back();
  return m;
}

TEST(regression_test, binary_fixtures_keep_their_verdicts) {
  const auto files = fixtures(".tvx");
  ASSERT_FALSE(files.empty()) << "no .tvx fixtures in " << TUVAX_TEST_DATA_DIR;
  for (const fs::path& p : files) {
    SCOPED_TRACE(p.filename().string());
    const std::string bytes = read_file(p);
    const std::span input(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    bool decoded = false;
    EXPECT_EQ(oracle::check_binary(input, /*round_trips=*/true, &decoded), "");
    const bool should_decode = p.filename().string().starts_with("y_");
    EXPECT_EQ(decoded, should_decode);
    if (const std::string message = expected_message(p); !message.empty()) {
      Decoder dec(input);
      auto r = dec.decode_all_owned();
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), message);
    }
  }
}

TEST(regression_test, text_fixtures_keep_their_verdicts) {
  const auto files = fixtures(".txt");
  ASSERT_FALSE(files.empty()) << "no .txt fixtures in " << TUVAX_TEST_DATA_DIR;
  for (const fs::path& p : files) {
    SCOPED_TRACE(p.filename().string());
    const std::string input = read_file(p);
    bool parsed = false;
    EXPECT_EQ(oracle::check_text(input, &parsed), "");
    EXPECT_EQ(parsed, p.filename().string().starts_with("y_"));
    if (const std::string message = expected_message(p); !message.empty()) {
      auto r = parse(input);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), message);
    }
  }
}

}  // namespace
}  // namespace tuvax
