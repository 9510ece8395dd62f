#ifndef TUVAX_BUILDER_HPP
#define TUVAX_BUILDER_HPP

// The events one reader (the binary Decoder or the text Parser) hands to
// whatever it builds: a Value tree, Python objects, or nothing at all when
// only validity matters. The reader does every check before an event; a
// builder only builds.

#include <algorithm>  // std::max
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tuvax/value.hpp"

namespace tuvax {

// Events arrive in document order: a scalar event is one whole value; a
// container is begin_*, its members, then end_*; inside an object each
// member is key() followed by exactly one value. Every event returns true to
// go on, or false when the builder failed (out of memory, a pending Python
// exception): the reader then stops at once and reports the stop, not a core
// error, and the builder owns the cleanup of what it built so far.
//
//  - str(s, ascii): the text of a string; `ascii` is true when the reader
//    already knows every byte is below 0x80 (false means "not known").
//    `s` is valid UTF-8 and lives only for the call.
//  - shared_str(s, index): a string read through entry `index` of the
//    binary string table (a reference). The same index names the same text
//    until reset_shared(), so a builder may share one object per index.
//  - reset_shared(): the string table was replaced (a new data block).
//  - begin_array(hint) / begin_object(hint): `hint` is how many members the
//    input announces, already bounded by what the rest of the input can
//    hold, or 0 when the reader cannot know (text). For reserving only.
template <class B>
concept ValueBuilder = requires(B& b, std::string_view s, std::span<const std::uint8_t> raw, bool flag,
                                std::uint64_t u, std::int64_t i, double d, std::size_t n) {
  { b.null() } -> std::same_as<bool>;
  { b.boolean(flag) } -> std::same_as<bool>;
  { b.uint(u) } -> std::same_as<bool>;
  { b.integer(i) } -> std::same_as<bool>;
  { b.real(d) } -> std::same_as<bool>;
  { b.str(s, flag) } -> std::same_as<bool>;
  { b.shared_str(s, n) } -> std::same_as<bool>;
  { b.reset_shared() } -> std::same_as<void>;
  { b.bytes(raw) } -> std::same_as<bool>;
  { b.begin_array(n) } -> std::same_as<bool>;
  { b.end_array() } -> std::same_as<bool>;
  { b.begin_object(n) } -> std::same_as<bool>;
  { b.key(s, flag) } -> std::same_as<bool>;
  { b.end_object() } -> std::same_as<bool>;
};

// Builds nothing: a reader driven with it only validates.
struct NullBuilder {
  bool null() noexcept { return true; }
  bool boolean(bool) noexcept { return true; }
  bool uint(std::uint64_t) noexcept { return true; }
  bool integer(std::int64_t) noexcept { return true; }
  bool real(double) noexcept { return true; }
  bool str(std::string_view, bool) noexcept { return true; }
  bool shared_str(std::string_view, std::size_t) noexcept { return true; }
  void reset_shared() noexcept {}
  bool bytes(std::span<const std::uint8_t>) noexcept { return true; }
  bool begin_array(std::size_t) noexcept { return true; }
  bool end_array() noexcept { return true; }
  bool begin_object(std::size_t) noexcept { return true; }
  bool key(std::string_view, bool) noexcept { return true; }
  bool end_object() noexcept { return true; }
};

// Builds one owned Value tree per top-level value. Members wait on one flat
// stack until their container ends, so the walk never recurses here and a
// failed read leaves nothing that outlives the builder.
class TreeBuilder {
 public:
  bool null() { return put(Value::null()); }
  bool boolean(bool b) { return put(Value::boolean(b)); }
  bool uint(std::uint64_t u) { return put(Value::uint(u)); }
  bool integer(std::int64_t i) { return put(Value::integer(i)); }
  bool real(double d) { return put(Value::real(d)); }
  bool str(std::string_view s, bool) { return put(Value::str(std::string(s))); }
  bool shared_str(std::string_view s, std::size_t) { return put(Value::str(std::string(s))); }
  void reset_shared() noexcept {}
  bool bytes(std::span<const std::uint8_t> b) { return put(Value::bytes(Bytes(b.begin(), b.end()))); }
  bool begin_array(std::size_t hint) { return open(hint); }
  bool end_array() {
    const Frame f = frames_.back();
    frames_.pop_back();
    Array a;
    a.reserve(values_.size() - f.values);
    for (std::size_t i = f.values; i < values_.size(); ++i) a.push_back(std::move(values_[i]));
    values_.resize(f.values);
    return put(Value::array(std::move(a)));
  }
  bool begin_object(std::size_t hint) { return open(hint); }
  bool key(std::string_view s, bool) {
    keys_.emplace_back(s);
    return true;
  }
  bool end_object() {
    const Frame f = frames_.back();
    frames_.pop_back();
    Object o;
    o.reserve(values_.size() - f.values);
    for (std::size_t i = f.values, k = f.keys; i < values_.size(); ++i, ++k)
      o.push_back(Member{std::move(keys_[k]), std::move(values_[i])});
    values_.resize(f.values);
    keys_.resize(f.keys);
    return put(Value::object(std::move(o)));
  }

  // The finished top-level value; empties the builder for the next one.
  Value take() {
    Value v = std::move(values_.back());
    values_.clear();
    keys_.clear();
    frames_.clear();
    return v;
  }

 private:
  struct Frame {
    std::size_t values;
    std::size_t keys;
  };
  bool put(Value v) {
    values_.push_back(std::move(v));
    return true;
  }
  bool open(std::size_t hint) {
    frames_.push_back({values_.size(), keys_.size()});
    // Geometric growth: reserving exactly would reallocate at every container.
    if (const std::size_t want = values_.size() + hint; want > values_.capacity())
      values_.reserve(std::max(want, 2 * values_.capacity()));
    return true;
  }

  std::vector<Value> values_;
  std::vector<std::string> keys_;
  std::vector<Frame> frames_;
};

}  // namespace tuvax

#endif  // TUVAX_BUILDER_HPP
