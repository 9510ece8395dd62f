#ifndef TUVAX_BENCH_JSON_LOADER_HPP
#define TUVAX_BENCH_JSON_LOADER_HPP

// A small JSON reader that builds Value trees for the benchmarks: objects keep
// their member order, integers become UInt or Int when they fit, every other
// number a Float. Enough for well-formed input; it reports the first offset it
// does not understand and does not try to be a validator.

#include <charconv>  // std::from_chars
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "tuvax/value.hpp"

namespace tuvax::bench {

class JsonLoader {
 public:
  explicit JsonLoader(std::string_view text) : s_(text) {}

  // The document's one value, or nullopt with error_offset() set.
  std::optional<Value> load() {
    auto v = value(0);
    skip_ws();
    if (!v || pos_ != s_.size()) return std::nullopt;
    return v;
  }
  std::size_t error_offset() const { return pos_; }

 private:
  static constexpr int max_depth = 512;

  void skip_ws() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
  }
  bool eat(char c) {
    skip_ws();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<Value> value(int depth) {
    if (depth > max_depth) return std::nullopt;
    skip_ws();
    if (pos_ >= s_.size()) return std::nullopt;
    switch (s_[pos_]) {
      case '{': return object(depth);
      case '[': return array(depth);
      case '"': {
        auto s = string();
        if (!s) return std::nullopt;
        return Value::str(std::move(*s));
      }
      case 't': return literal("true") ? std::optional(Value::boolean(true)) : std::nullopt;
      case 'f': return literal("false") ? std::optional(Value::boolean(false)) : std::nullopt;
      case 'n': return literal("null") ? std::optional(Value::null()) : std::nullopt;
      default: return number();
    }
  }

  std::optional<Value> object(int depth) {
    ++pos_;
    Object members;
    if (eat('}')) return Value::object(std::move(members));
    do {
      skip_ws();
      auto key = string();
      if (!key || !eat(':')) return std::nullopt;
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      members.push_back({std::move(*key), std::move(*v)});
    } while (eat(','));
    if (!eat('}')) return std::nullopt;
    return Value::object(std::move(members));
  }

  std::optional<Value> array(int depth) {
    ++pos_;
    Array elements;
    if (eat(']')) return Value::array(std::move(elements));
    do {
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      elements.push_back(std::move(*v));
    } while (eat(','));
    if (!eat(']')) return std::nullopt;
    return Value::array(std::move(elements));
  }

  std::optional<unsigned> hex4() {
    if (s_.size() - pos_ < 4) return std::nullopt;
    unsigned u = 0;
    auto [end, ec] = std::from_chars(s_.data() + pos_, s_.data() + pos_ + 4, u, 16);
    if (ec != std::errc() || end != s_.data() + pos_ + 4) return std::nullopt;
    pos_ += 4;
    return u;
  }

  static void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
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
      switch (s_[pos_++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto u = hex4();
          if (!u) return std::nullopt;
          char32_t cp = *u;
          if (cp >= 0xD800 && cp < 0xDC00) {
            // A high surrogate must be followed by its low half.
            if (!literal("\\u")) return std::nullopt;
            auto lo = hex4();
            if (!lo || *lo < 0xDC00 || *lo > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;
          }
          append_utf8(cp, out);
          break;
        }
        default: return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<Value> number() {
    const std::size_t start = pos_;
    bool integral = true;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c >= '0' && c <= '9') {
        ++pos_;
      } else if (c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
        integral = false;
        ++pos_;
      } else {
        break;
      }
    }
    const char* first = s_.data() + start;
    const char* last = s_.data() + pos_;
    if (first == last) return std::nullopt;
    if (integral) {
      if (*first == '-') {
        std::int64_t i = 0;
        if (auto [p, ec] = std::from_chars(first, last, i); ec == std::errc() && p == last) return Value::integer(i);
      } else {
        std::uint64_t u = 0;
        if (auto [p, ec] = std::from_chars(first, last, u); ec == std::errc() && p == last) return Value::uint(u);
      }
    }
    double d = 0;
    if (auto [p, ec] = std::from_chars(first, last, d); ec == std::errc() && p == last) return Value::real(d);
    pos_ = start;
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

inline std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The JSON document at `path` as a tree, or nullopt after saying on stderr
// what went wrong.
inline std::optional<Value> load_json_file(const std::string& path) {
  auto text = read_file(path);
  if (!text) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    return std::nullopt;
  }
  JsonLoader loader(*text);
  auto tree = loader.load();
  if (!tree) std::fprintf(stderr, "%s: JSON not understood at offset %zu\n", path.c_str(), loader.error_offset());
  return tree;
}

}  // namespace tuvax::bench

#endif  // TUVAX_BENCH_JSON_LOADER_HPP
