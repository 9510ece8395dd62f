// Whole documents: the core encoder and decoder with their errors raised.
#ifndef TUVAX_PY_DOCUMENT_HPP
#define TUVAX_PY_DOCUMENT_HPP

#include "python.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "pyref.hpp"
#include "tuvax/encoder.hpp"
#include "tuvax/value.hpp"

namespace tuvax::py {

// Encodes `value` into `encoder`; RuntimeError "encode error: {e}".
[[nodiscard]] bool encode_into(Encoder& encoder, const Value& value);

// Finishes `encoder`; RuntimeError "finish error: {e}".
[[nodiscard]] std::optional<std::vector<std::uint8_t>> finish_encoder(Encoder&& encoder);

// A fresh default Encoder holding just `value`, finished.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> encode_document(const Value& value);

// The top-level values of `data` as Python objects, in order; RuntimeError
// "decode error: {e}" for input the core refuses.
[[nodiscard]] std::optional<std::vector<PyRef>> decode_document(std::span<const std::uint8_t> data);

// A new list that takes over `items`.
[[nodiscard]] PyRef list_of(std::vector<PyRef>&& items);

// One value as itself, any other number as a list.
[[nodiscard]] PyRef single_or_list(std::vector<PyRef>&& items);

// A new bytes object holding a copy of `data`.
[[nodiscard]] PyRef bytes_of(std::span<const std::uint8_t> data);

}  // namespace tuvax::py

#endif  // TUVAX_PY_DOCUMENT_HPP
