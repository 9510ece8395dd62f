// Whole documents: Python objects through the core encoder and decoder, with
// the core's errors raised.
#ifndef TUVAX_PY_DOCUMENT_HPP
#define TUVAX_PY_DOCUMENT_HPP

#include "python.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py_walk.hpp"  // WalkMode
#include "pyref.hpp"
#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"

namespace tuvax::py {

// Writes `obj` (borrowed) into `encoder` as one top-level value, straight
// from the objects, walked in `mode`. A conversion error (TypeError,
// OverflowError, RecursionError, ...) anywhere in `obj` wins over a core
// error, which is RuntimeError "encode error: {e}". Either carries the JSON
// path of its value as a note; a limit error also a hint. On failure
// nothing of `obj` stays.
[[nodiscard]] bool encode_into(Encoder& encoder, PyObject* obj, WalkMode mode = {});

// Raises what encode_into would raise for a conversion error in `obj`, and
// writes nothing: for calls that must report those before anything else.
[[nodiscard]] bool check_convertible(PyObject* obj, WalkMode mode = {});

// Finishes `encoder`; RuntimeError "finish error: {e}".
[[nodiscard]] std::optional<std::vector<std::uint8_t>> finish_encoder(Encoder&& encoder);
// Finishes `encoder` into a new bytes object, copying the document once.
[[nodiscard]] PyRef finish_to_bytes(Encoder& encoder);

// A fresh default Encoder holding just `obj`, finished.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> encode_document(PyObject* obj, WalkMode mode = {});
[[nodiscard]] PyRef encode_to_bytes(PyObject* obj, WalkMode mode = {});

// The top-level values of `data` as Python objects, in order; RuntimeError
// "decode error: {e}" for input the core refuses.
[[nodiscard]] std::optional<std::vector<PyRef>> decode_document(std::span<const std::uint8_t> data);

// What decode_next() came to.
enum class NextValue : std::uint8_t {
  value,           // `out` holds the next top-level value
  end,             // the verified trailer: no more values
  input_error,     // RuntimeError "decode error: {e}"; the decoder repeats it
  builder_failed,  // the builder's own exception (MemoryError, say); the value is lost
};

// The next top-level value of `decoder`, built by `builder` into `out`.
class ObjectBuilder;
[[nodiscard]] NextValue decode_next(Decoder& decoder, ObjectBuilder& builder, PyRef& out);

// A new list that takes over `items`.
[[nodiscard]] PyRef list_of(std::vector<PyRef>&& items);

// One value as itself, any other number as a list.
[[nodiscard]] PyRef single_or_list(std::vector<PyRef>&& items);

// A new bytes object holding a copy of `data`.
[[nodiscard]] PyRef bytes_of(std::span<const std::uint8_t> data);

}  // namespace tuvax::py

#endif  // TUVAX_PY_DOCUMENT_HPP
