#ifndef TUVAX_VALUE_HPP
#define TUVAX_VALUE_HPP

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tuvax {

class Value;
struct Member;

using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;
// An ordered list of entries, not a map: duplicate keys are kept in order.
using Object = std::vector<Member>;

// The tag order is fixed; Null..Str are the kinds an inline array may hold.
enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, Str, Bytes, Array, Object };

// A JSON-like tree node that tells unsigned from signed integers and text from
// bytes. It owns its whole subtree; copying copies the subtree.
class Value {
 public:
  Value() noexcept = default;  // Null
  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;
  // Destroys the subtree without recursion, so no tree is too deep to free.
  // Scalars and moved-from temporaries take the inline test alone: it runs
  // for every node a producer builds.
  ~Value();

  static Value null() noexcept;
  static Value boolean(bool b) noexcept;
  static Value uint(std::uint64_t u) noexcept;
  static Value integer(std::int64_t i) noexcept;
  static Value real(double d) noexcept;
  static Value str(std::string s) noexcept;
  static Value bytes(Bytes b) noexcept;
  static Value array() noexcept;  // empty
  static Value array(Array a) noexcept;
  static Value object() noexcept;  // empty
  static Value object(Object o) noexcept;

  Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  bool is(Kind k) const noexcept { return kind() == k; }

  // Accessors: the caller checks kind() first (undefined for the wrong kind).
  bool as_bool() const noexcept { return *std::get_if<1>(&v_); }
  std::uint64_t as_uint() const noexcept { return *std::get_if<2>(&v_); }
  std::int64_t as_int() const noexcept { return *std::get_if<3>(&v_); }
  double as_float() const noexcept { return *std::get_if<4>(&v_); }
  const std::string& as_str() const noexcept { return *std::get_if<5>(&v_); }
  std::string& as_str() noexcept { return *std::get_if<5>(&v_); }
  const Bytes& as_bytes() const noexcept { return *std::get_if<6>(&v_); }
  Bytes& as_bytes() noexcept { return *std::get_if<6>(&v_); }
  const Array& as_array() const noexcept { return *std::get_if<7>(&v_); }
  Array& as_array() noexcept { return *std::get_if<7>(&v_); }
  const Object& as_object() const noexcept { return *std::get_if<8>(&v_); }
  Object& as_object() noexcept { return *std::get_if<8>(&v_); }

  // Deep structural equality. Floats compare by bit pattern, so NaN payloads
  // and the sign of zero matter: this is the equality of a round trip.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  using Storage = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double,
                               std::string, Bytes, Array, Object>;
  explicit Value(Storage s) noexcept;
  void release_tree() noexcept;

  Storage v_;
};

struct Member {
  std::string key;
  Value value;

  friend bool operator==(const Member&, const Member&) = default;
};

// The factories are defined here, once Member is complete: their bodies (and
// a `= {}` default argument) build and destroy a vector<Member>, which clang
// insists on checking inside the class already, where Member is incomplete.
inline Value::Value(Storage s) noexcept : v_(std::move(s)) {}
inline Value::~Value() {
  if (v_.index() >= 7) release_tree();
}
inline Value Value::null() noexcept { return Value(); }
inline Value Value::boolean(bool b) noexcept { return Value(Storage(std::in_place_index<1>, b)); }
inline Value Value::uint(std::uint64_t u) noexcept { return Value(Storage(std::in_place_index<2>, u)); }
inline Value Value::integer(std::int64_t i) noexcept { return Value(Storage(std::in_place_index<3>, i)); }
inline Value Value::real(double d) noexcept { return Value(Storage(std::in_place_index<4>, d)); }
inline Value Value::str(std::string s) noexcept { return Value(Storage(std::in_place_index<5>, std::move(s))); }
inline Value Value::bytes(Bytes b) noexcept { return Value(Storage(std::in_place_index<6>, std::move(b))); }
inline Value Value::array() noexcept { return array(Array()); }
inline Value Value::array(Array a) noexcept { return Value(Storage(std::in_place_index<7>, std::move(a))); }
inline Value Value::object() noexcept { return object(Object()); }
inline Value Value::object(Object o) noexcept { return Value(Storage(std::in_place_index<8>, std::move(o))); }

}  // namespace tuvax

#endif  // TUVAX_VALUE_HPP
