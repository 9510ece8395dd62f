// Builds the generated part of the fuzz seed corpora from the JSON documents
// in a directory: pieces of each document small enough for the fuzzers,
// written as binary documents (with and without string sharing) and as text.
//
//   tuvax_fuzz_seedgen JSON_DIR OUT_DIR
//
// writes OUT_DIR/binary/*.tvx and OUT_DIR/text/*.txt.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/encoder.hpp"
#include "tuvax/text.hpp"
#include "tuvax/value.hpp"

// The benchmarks' JSON reader: the same documents, read the same way.
#include "json_loader.hpp"

namespace fs = std::filesystem;
using tuvax::Value;

namespace {

constexpr std::size_t max_seed_size = 16 * 1024;
constexpr int seeds_per_document = 40;

std::optional<std::vector<std::uint8_t>> encode(const Value& v, bool dedup) {
  tuvax::Encoder enc;
  if (dedup) enc.enable_dedup();
  if (!enc.encode_value(v)) return std::nullopt;
  auto out = std::move(enc).finish();
  if (!out) return std::nullopt;
  return std::move(*out);
}

void write_file(const fs::path& p, const void* data, std::size_t n) {
  std::ofstream f(p, std::ios::binary);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

// Pieces of `root` that encode to at most max_seed_size bytes, largest
// first: a piece that fits is taken whole, one that does not is split into
// its members, and a long array also gives a slice of its first elements.
std::vector<Value> pieces(const Value& root) {
  std::vector<Value> out;
  std::deque<const Value*> todo{&root};
  while (!todo.empty() && out.size() < static_cast<std::size_t>(seeds_per_document)) {
    const Value* v = todo.front();
    todo.pop_front();
    auto bytes = encode(*v, false);
    if (bytes && bytes->size() <= max_seed_size) {
      if (v->is(tuvax::Kind::Array) || v->is(tuvax::Kind::Object)) out.push_back(*v);
      continue;
    }
    if (v->is(tuvax::Kind::Array)) {
      const auto& a = v->as_array();
      out.push_back(Value::array(tuvax::Array(a.begin(), a.begin() + std::min<std::size_t>(a.size(), 8))));
      for (const Value& e : a) todo.push_back(&e);
    } else if (v->is(tuvax::Kind::Object)) {
      for (const auto& m : v->as_object()) todo.push_back(&m.value);
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s JSON_DIR OUT_DIR\n", argv[0]);
    return 2;
  }
  const fs::path out_dir = argv[2];
  fs::create_directories(out_dir / "binary");
  fs::create_directories(out_dir / "text");
  int written = 0;
  for (const auto& entry : fs::directory_iterator(argv[1])) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream f(entry.path(), std::ios::binary);
    const std::string json((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto root = tuvax::bench::JsonLoader(json).load();
    if (!root) {
      std::fprintf(stderr, "seedgen: %s is not JSON this reader understands\n", entry.path().c_str());
      return 1;
    }
    const std::string stem = entry.path().stem().string();
    int n = 0;
    for (const Value& piece : pieces(*root)) {
      const std::string name = stem + "_" + std::to_string(n++);
      for (bool dedup : {false, true}) {
        auto bytes = encode(piece, dedup);
        if (bytes && bytes->size() <= max_seed_size)
          write_file(out_dir / "binary" / (name + (dedup ? "_dedup.tvx" : ".tvx")), bytes->data(), bytes->size());
      }
      for (std::uint64_t indent : {2, 0}) {
        auto text = tuvax::pretty_print(piece, indent);
        if (text && text->size() <= max_seed_size)
          write_file(out_dir / "text" / (name + "_i" + std::to_string(indent) + ".txt"), text->data(), text->size());
      }
      ++written;
    }
  }
  std::printf("seedgen: %d pieces written to %s\n", written, argv[2]);
  return written > 0 ? 0 : 1;
}
