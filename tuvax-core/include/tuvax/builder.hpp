#ifndef TUVAX_BUILDER_HPP
#define TUVAX_BUILDER_HPP

// The events one reader (the binary Decoder or the text Parser) hands to
// whatever it builds: a Value tree, Python objects, or nothing at all when
// only validity matters. The reader does every check before an event; a
// builder only builds.

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

// Builds one owned Value tree per top-level value. Each open container is
// filled in place, so a value is moved once, into its parent; a failed read
// leaves nothing that outlives the builder.
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
  bool begin_array(std::size_t hint) {
    Array a;
    a.reserve(hint);
    frames_.push_back({Value::array(std::move(a)), {}});
    return true;
  }
  bool end_array() { return close(); }
  bool begin_object(std::size_t hint) {
    Object o;
    o.reserve(hint);
    frames_.push_back({Value::object(std::move(o)), {}});
    return true;
  }
  bool key(std::string_view s, bool) {
    frames_.back().key.assign(s);
    return true;
  }
  bool end_object() { return close(); }

  // The finished top-level value; empties the builder for the next one.
  Value take() {
    frames_.clear();
    return std::move(result_);
  }

 private:
  struct Frame {
    Value container;  // the Array or Object being filled
    std::string key;  // an object's key waiting for its value
  };
  bool put(Value v) {
    if (frames_.empty()) {
      result_ = std::move(v);
    } else if (Frame& f = frames_.back(); f.container.is(Kind::Array)) {
      f.container.as_array().push_back(std::move(v));
    } else {
      f.container.as_object().push_back(Member{std::move(f.key), std::move(v)});
    }
    return true;
  }
  bool close() {
    Value done = std::move(frames_.back().container);
    frames_.pop_back();
    return put(std::move(done));
  }

  std::vector<Frame> frames_;
  Value result_;
};

}  // namespace tuvax

#endif  // TUVAX_BUILDER_HPP
