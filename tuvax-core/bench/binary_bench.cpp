// Encode and decode throughput of the binary format over the JSON corpus,
// with and without string sharing. Rates count the bytes of the encoded
// document in every direction, so they are comparable, in decimal units:
// "bytes=250M/s" is 250 MB/s.
//
// Decoding is timed twice: into owned Value trees, and through the same
// checked walk with a builder that builds nothing (validate). The gap is
// what building the tree costs.

#include <benchmark/benchmark.h>

#include <algorithm>  // std::sort
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "json_loader.hpp"
#include "tuvax/builder.hpp"  // tuvax::NullBuilder
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

// Bytes of the document per second, in decimal units (SetBytesProcessed
// would print binary ones).
void set_rate(benchmark::State& state, std::size_t doc_size) {
  state.counters["bytes"] = benchmark::Counter(static_cast<double>(doc_size),
                                              benchmark::Counter::kIsIterationInvariantRate,
                                              benchmark::Counter::OneK::kIs1000);
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
  set_rate(state, size);
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
  set_rate(state, doc.size());
}

// Every check of decoding, nothing built: the number of top-level values,
// or -1 when the document does not validate.
long validate(const std::vector<std::uint8_t>& doc) {
  tuvax::Decoder dec(doc);
  tuvax::NullBuilder sink;
  for (long values = 0;; ++values) {
    auto step = dec.decode_next(sink);
    if (!step || *step == tuvax::DecodeStep::stopped) return -1;
    if (*step == tuvax::DecodeStep::end) return values;
  }
}

void bm_validate(benchmark::State& state, const std::string& path, bool dedup) {
  const Corpus& c = corpus(path);
  const auto& doc = dedup ? c.dedup : c.plain;
  if (!c.ok || validate(doc) != 1) {
    state.SkipWithError("corpus file not loaded, or its document does not validate");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(validate(doc));
  set_rate(state, doc.size());
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
      benchmark::RegisterBenchmark(("validate/" + name + suffix).c_str(),
                                   [path, dedup](benchmark::State& s) { bm_validate(s, path, dedup); })
          ->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace
