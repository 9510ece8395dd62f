#include "tuvax/value.hpp"

#include <bit>  // std::bit_cast
#include <cstring>

namespace tuvax {

namespace {

bool holds_container(const Value& v) noexcept {
  return (v.is(Kind::Array) && !v.as_array().empty()) ||
         (v.is(Kind::Object) && !v.as_object().empty());
}

// Moves every nested non-empty container of `v` into `stack`, leaving `v`
// with only leaves, so that destroying it recurses at most one level.
void detach_children(Value& v, std::vector<Value>& stack) {
  if (v.is(Kind::Array)) {
    for (Value& child : v.as_array())
      if (holds_container(child)) stack.push_back(std::move(child));
  } else if (v.is(Kind::Object)) {
    for (Member& m : v.as_object())
      if (holds_container(m.value)) stack.push_back(std::move(m.value));
  }
}

}  // namespace

void Value::release_tree() noexcept {
  if (!holds_container(*this)) return;
  // Only trees with containers inside containers need the work list; the
  // common flat case (an array of scalars) is destroyed in place.
  bool nested = false;
  if (is(Kind::Array)) {
    for (const Value& c : as_array()) nested = nested || holds_container(c);
  } else {
    for (const Member& m : as_object()) nested = nested || holds_container(m.value);
  }
  if (!nested) return;
  std::vector<Value> stack;
  detach_children(*this, stack);
  while (!stack.empty()) {
    Value top = std::move(stack.back());
    stack.pop_back();
    detach_children(top, stack);
    // `top` now holds no nested containers and is destroyed here.
  }
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return a.as_bool() == b.as_bool();
    case Kind::UInt: return a.as_uint() == b.as_uint();
    case Kind::Int: return a.as_int() == b.as_int();
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
    case Kind::Str: return a.as_str() == b.as_str();
    case Kind::Bytes: return a.as_bytes() == b.as_bytes();
    case Kind::Array: return a.as_array() == b.as_array();
    case Kind::Object: return a.as_object() == b.as_object();
  }
  return false;
}

}  // namespace tuvax
