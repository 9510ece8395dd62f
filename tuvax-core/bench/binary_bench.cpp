// Encode and decode throughput of the binary format over the JSON corpus,
// with and without string sharing. Bytes per second count the encoded
// document in both directions, so the two are comparable.

#include <benchmark/benchmark.h>

#include <algorithm>  // std::sort
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "json_loader.hpp"
#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"

namespace {

using tuvax::Value;

struct Corpus {
  Value tree;
  std::vector<std::uint8_t> plain;  // encoded without sharing
  std::vector<std::uint8_t> dedup;  // encoded with sharing
  bool ok = false;
};

std::vector<std::uint8_t> encode(const Value& v, bool dedup) {
  tuvax::Encoder enc;
  if (dedup) enc.enable_dedup();
  if (!enc.encode_value(v)) return {};
  auto bytes = std::move(enc).finish();
  return bytes ? std::move(*bytes) : std::vector<std::uint8_t>{};
}

// Loaded on first use, so listing or filtering benchmarks stays cheap.
const Corpus& corpus(const std::string& path) {
  static std::map<std::string, Corpus> cache;
  auto [it, inserted] = cache.try_emplace(path);
  Corpus& c = it->second;
  if (!inserted) return c;
  auto tree = tuvax::bench::load_json_file(path);
  if (!tree) return c;
  c.tree = std::move(*tree);
  c.plain = encode(c.tree, false);
  c.dedup = encode(c.tree, true);
  c.ok = !c.plain.empty() && !c.dedup.empty();
  return c;
}

void bm_encode(benchmark::State& state, const std::string& path, bool dedup) {
  const Corpus& c = corpus(path);
  if (!c.ok) {
    state.SkipWithError("corpus file not loaded");
    return;
  }
  for (auto _ : state) {
    auto bytes = encode(c.tree, dedup);
    benchmark::DoNotOptimize(bytes.data());
  }
  const auto size = dedup ? c.dedup.size() : c.plain.size();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.counters["doc_bytes"] = static_cast<double>(size);
}

void bm_decode(benchmark::State& state, const std::string& path, bool dedup) {
  const Corpus& c = corpus(path);
  if (!c.ok) {
    state.SkipWithError("corpus file not loaded");
    return;
  }
  const auto& doc = dedup ? c.dedup : c.plain;
  // Checked once, outside the timing: the comparison costs about as much as
  // the decoding.
  auto check = tuvax::Decoder(doc).decode_all_owned();
  if (!check || check->size() != 1 || (*check)[0] != c.tree) {
    state.SkipWithError("decoded document differs from its source");
    return;
  }
  check->clear();
  for (auto _ : state) {
    auto values = tuvax::Decoder(doc).decode_all_owned();
    benchmark::DoNotOptimize(values);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
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
    for (bool dedup : {false, true}) {
      const std::string suffix = dedup ? "/dedup" : "/plain";
      benchmark::RegisterBenchmark(("encode/" + name + suffix).c_str(),
                                   [path, dedup](benchmark::State& s) { bm_encode(s, path, dedup); })
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("decode/" + name + suffix).c_str(),
                                   [path, dedup](benchmark::State& s) { bm_decode(s, path, dedup); })
          ->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace
