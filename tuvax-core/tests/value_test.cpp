#include "tuvax/value.hpp"

#include <gtest/gtest.h>

#include <bit>  // std::bit_cast
#include <cstdint>
#include <limits>
#include <utility>

namespace tuvax {
namespace {

TEST(value_test, kinds_follow_the_tag_order) {
  EXPECT_EQ(static_cast<int>(Value::null().kind()), 0);
  EXPECT_EQ(static_cast<int>(Value::boolean(true).kind()), 1);
  EXPECT_EQ(static_cast<int>(Value::uint(1).kind()), 2);
  EXPECT_EQ(static_cast<int>(Value::integer(1).kind()), 3);
  EXPECT_EQ(static_cast<int>(Value::real(1.0).kind()), 4);
  EXPECT_EQ(static_cast<int>(Value::str("a").kind()), 5);
  EXPECT_EQ(static_cast<int>(Value::bytes({1}).kind()), 6);
  EXPECT_EQ(static_cast<int>(Value::array().kind()), 7);
  EXPECT_EQ(static_cast<int>(Value::object().kind()), 8);
}

TEST(value_test, equality_is_by_kind_and_bits) {
  EXPECT_NE(Value::uint(0), Value::integer(0));
  EXPECT_NE(Value::str(""), Value::bytes({}));
  EXPECT_NE(Value::real(0.0), Value::real(-0.0));
  const double nan1 = std::bit_cast<double>(std::uint64_t{0x7FF8000000000001});
  const double nan2 = std::bit_cast<double>(std::uint64_t{0x7FF8000000000002});
  EXPECT_EQ(Value::real(nan1), Value::real(nan1));
  EXPECT_NE(Value::real(nan1), Value::real(nan2));
  // Objects are ordered lists: the same entries in another order differ.
  const Value ab = Value::object({{"a", Value::uint(1)}, {"b", Value::uint(2)}});
  const Value ba = Value::object({{"b", Value::uint(2)}, {"a", Value::uint(1)}});
  EXPECT_NE(ab, ba);
}

TEST(value_test, copies_are_deep) {
  Value original = Value::array({Value::str("x"), Value::object({{"k", Value::array({Value::uint(1)})}})});
  Value copy = original;
  copy.as_array()[1].as_object()[0].value.as_array().push_back(Value::null());
  EXPECT_EQ(original.as_array()[1].as_object()[0].value.as_array().size(), 1u);
  EXPECT_NE(original, copy);
}

TEST(value_test, destroys_very_deep_trees_without_recursion) {
  // Far deeper than any producer builds; a recursive destructor would
  // overflow the stack here.
  Value v = Value::array();
  for (int i = 0; i < 100'000; ++i) {
    Array a;
    a.push_back(std::move(v));
    if (i % 2) {
      v = Value::array(std::move(a));
    } else {
      Object o;
      o.push_back({"k", Value::array(std::move(a))});
      v = Value::object(std::move(o));
    }
  }
}

}  // namespace
}  // namespace tuvax
