// Pretty printing and parsing throughput of the text notation over the JSON
// corpus: parsing into a Value tree, and validating only (a builder that
// builds nothing). Bytes per second count the text in every direction.

#include <benchmark/benchmark.h>

#include <algorithm>  // std::sort
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "json_loader.hpp"
#include "tuvax/builder.hpp"
#include "tuvax/text.hpp"

namespace {

using tuvax::Value;

constexpr std::uint64_t indent = 2;

struct TextCorpus {
  Value tree;
  std::string text;  // the tree pretty-printed
  bool ok = false;
};

// Loaded on first use, so listing or filtering benchmarks stays cheap.
const TextCorpus& corpus(const std::string& path) {
  static std::map<std::string, TextCorpus> cache;
  auto [it, inserted] = cache.try_emplace(path);
  TextCorpus& c = it->second;
  if (!inserted) return c;
  auto tree = tuvax::bench::load_json_file(path);
  if (!tree) return c;
  auto text = tuvax::pretty_print(*tree, indent);
  if (!text) return c;
  c.tree = std::move(*tree);
  c.text = std::move(*text);
  c.ok = true;
  return c;
}

void bm_pretty_print(benchmark::State& state, const std::string& path) {
  const TextCorpus& c = corpus(path);
  if (!c.ok) {
    state.SkipWithError("corpus file not loaded");
    return;
  }
  for (auto _ : state) {
    auto text = tuvax::pretty_print(c.tree, indent);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.text.size()));
  state.counters["text_bytes"] = static_cast<double>(c.text.size());
}

void bm_parse(benchmark::State& state, const std::string& path) {
  const TextCorpus& c = corpus(path);
  if (!c.ok) {
    state.SkipWithError("corpus file not loaded");
    return;
  }
  // Checked once, outside the timing. The corpus has no negative zero or
  // positive Int, so the tree reads back exactly.
  if (auto check = tuvax::parse(c.text); !check || *check != c.tree) {
    state.SkipWithError(check ? "parsed text differs from its source" : check.error().message().c_str());
    return;
  }
  for (auto _ : state) {
    auto value = tuvax::parse(c.text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.text.size()));
}

void bm_validate(benchmark::State& state, const std::string& path) {
  const TextCorpus& c = corpus(path);
  if (!c.ok) {
    state.SkipWithError("corpus file not loaded");
    return;
  }
  tuvax::NullBuilder nothing;
  if (auto check = tuvax::parse_into(c.text, nothing); !check || !*check) {
    state.SkipWithError(check ? "the reader stopped" : check.error().message().c_str());
    return;
  }
  for (auto _ : state) {
    auto ok = tuvax::parse_into(c.text, nothing);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.text.size()));
}

const bool registered = [] {
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(TUVAX_CORPUS_DIR, ec))
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string path = file.string();
    const std::string name = file.stem().string();
    benchmark::RegisterBenchmark(("pretty_print/" + name).c_str(),
                                 [path](benchmark::State& s) { bm_pretty_print(s, path); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse_text/" + name).c_str(),
                                 [path](benchmark::State& s) { bm_parse(s, path); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("validate_text/" + name).c_str(),
                                 [path](benchmark::State& s) { bm_validate(s, path); })
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
