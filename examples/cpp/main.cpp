// Encodes a small record with string sharing, decodes it again, checks that
// the round trip is exact, and prints the record as text notation.
#include <cstdio>
#include <span>
#include <utility>
#include <vector>

#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"
#include "tuvax/text.hpp"
#include "tuvax/value.hpp"

namespace {

tuvax::Value make_record() {
  using tuvax::Value;
  tuvax::Array readings;
  for (double celsius : {13.5, 15.25, -2.0}) {
    readings.push_back(Value::object({{"value", Value::real(celsius)}, {"unit", Value::str("°C")}}));
  }
  return Value::object({
      {"station", Value::str("Zürich Fluntern")},
      {"elevation_m", Value::uint(556)},
      {"trend", Value::integer(-41)},
      {"online", Value::boolean(true)},
      {"raw", Value::bytes({0x01, 0x02, 0x03})},
      {"readings", Value::array(std::move(readings))},
  });
}

int fail(const char* step, const tuvax::TuvaxError& e) {
  std::fprintf(stderr, "%s: %s\n", step, e.message().c_str());
  return 1;
}

}  // namespace

int main() {
  const tuvax::Value record = make_record();

  tuvax::Encoder enc;
  enc.enable_dedup();  // "°C" is stored once and referenced twice
  if (auto r = enc.encode_value(record); !r) return fail("encode", r.error());
  auto bytes = std::move(enc).finish();
  if (!bytes) return fail("finish", bytes.error());

  tuvax::Decoder dec{std::span<const std::uint8_t>(*bytes)};
  auto values = dec.decode_all_owned();
  if (!values) return fail("decode", values.error());
  if (values->size() != 1 || (*values)[0] != record) {
    std::fprintf(stderr, "round trip changed the record\n");
    return 1;
  }

  auto text = tuvax::pretty_print((*values)[0], 2);
  if (!text) return fail("pretty_print", text.error());
  std::printf("%zu bytes, round trip exact\n%s\n", bytes->size(), text->c_str());
  return 0;
}
