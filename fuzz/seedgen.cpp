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

namespace fs = std::filesystem;
using tuvax::Value;

namespace {

// A small JSON reader, enough for well-formed documents: integers become
// UInt or (negative) Int, numbers with '.', 'e' or 'E' Float.
class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}

  std::optional<Value> read() {
    auto v = value(0);
    ws();
    if (!v || pos_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  void ws() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
  }
  bool eat(char c) {
    ws();
    if (pos_ < s_.size() && s_[pos_] == c) return ++pos_, true;
    return false;
  }
  bool word(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  std::optional<Value> value(int depth) {
    if (depth > 100) return std::nullopt;
    ws();
    if (pos_ >= s_.size()) return std::nullopt;
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      tuvax::Object o;
      if (eat('}')) return Value::object(std::move(o));
      do {
        ws();
        auto k = string();
        if (!k || !eat(':')) return std::nullopt;
        auto v = value(depth + 1);
        if (!v) return std::nullopt;
        o.push_back({std::move(*k), std::move(*v)});
      } while (eat(','));
      if (!eat('}')) return std::nullopt;
      return Value::object(std::move(o));
    }
    if (c == '[') {
      ++pos_;
      tuvax::Array a;
      if (eat(']')) return Value::array(std::move(a));
      do {
        auto v = value(depth + 1);
        if (!v) return std::nullopt;
        a.push_back(std::move(*v));
      } while (eat(','));
      if (!eat(']')) return std::nullopt;
      return Value::array(std::move(a));
    }
    if (c == '"') {
      auto s = string();
      if (!s) return std::nullopt;
      return Value::str(std::move(*s));
    }
    if (word("true")) return Value::boolean(true);
    if (word("false")) return Value::boolean(false);
    if (word("null")) return Value::null();
    return number();
  }

  std::optional<Value> number() {
    const std::size_t start = pos_;
    bool is_float = false;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '.' || c == 'e' || c == 'E' || c == '+' || (c == '-' && pos_ > start)) {
        is_float = is_float || c == '.' || c == 'e' || c == 'E';
      } else if (c < '0' || c > '9') {
        break;
      }
      ++pos_;
    }
    const char* b = s_.data() + start;
    const char* e = s_.data() + pos_;
    if (b == e) return std::nullopt;
    if (!is_float) {
      if (*b == '-') {
        std::int64_t i;
        if (std::from_chars(b, e, i).ec == std::errc()) return Value::integer(i);
      } else {
        std::uint64_t u;
        if (std::from_chars(b, e, u).ec == std::errc()) return Value::uint(u);
      }
    }
    double d;
    if (std::from_chars(b, e, d).ec != std::errc()) return std::nullopt;
    return Value::real(d);
  }

  std::optional<unsigned> hex4() {
    if (s_.size() - pos_ < 4) return std::nullopt;
    unsigned u;
    auto r = std::from_chars(s_.data() + pos_, s_.data() + pos_ + 4, u, 16);
    if (r.ptr != s_.data() + pos_ + 4) return std::nullopt;
    pos_ += 4;
    return u;
  }

  static void put_utf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::optional<std::string> string() {
    if (pos_ >= s_.size() || s_[pos_] != '"') return std::nullopt;
    ++pos_;
    std::string out;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      const char e = s_[pos_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          auto hi = hex4();
          if (!hi) return std::nullopt;
          char32_t cp = *hi;
          if (cp >= 0xD800 && cp < 0xDC00 && word("\\u")) {
            auto lo = hex4();
            if (!lo) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*lo - 0xDC00);
          }
          if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;  // a lone surrogate
          put_utf8(cp, out);
          break;
        }
        default: out += e; break;
      }
    }
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

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
    auto root = JsonReader(json).read();
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
