// Whole documents: Python objects through the core encoder and decoder, with
// the core's errors raised.
#ifndef TUVAX_PY_DOCUMENT_HPP
#define TUVAX_PY_DOCUMENT_HPP

#include "python.hpp"

#include <cstdint>
#include <optional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py_walk.hpp"  // WalkMode
#include "pyref.hpp"
#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"

namespace tuvax::py {

class ObjectBuilder;

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

// Memory for an Encoder's data blocks (Encoder(limits, bytes_memory())) in
// which finish_to_bytes() makes the bytes object of a document under a
// megabyte or so without copying it. Such an encoder may be used and
// destroyed only with the GIL.
[[nodiscard]] BufferMemory& bytes_memory() noexcept;

// The finished document of `encoder`, as a vector or as a bytes object
// (copied once, or, from an encoder in bytes_memory(), at most once);
// RuntimeError "finish error: {e}". The encoder is closed on success; on any
// failure it is open again with everything it held, so a caller whose
// output fails loses nothing.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> document_bytes(Encoder& encoder);
[[nodiscard]] PyRef finish_to_bytes(Encoder& encoder);

// A fresh default Encoder holding just `obj`, finished.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> encode_document(PyObject* obj, WalkMode mode = {});
[[nodiscard]] PyRef encode_to_bytes(PyObject* obj, WalkMode mode = {});

// The top-level values of `data` as Python objects, in order; RuntimeError
// "decode error: {e}" for input the core refuses.
[[nodiscard]] std::optional<std::vector<PyRef>> decode_document(std::span<const std::uint8_t> data);
// The same for the values `decoder` has not yet given; a failed read of the
// file at `path` (empty for none) is the mapped OSError.
[[nodiscard]] std::optional<std::vector<PyRef>> decode_all(Decoder& decoder, std::string_view path = {});

// Top-level values one at a time, for the iterator types. An input error
// repeats on every later call (the decoder keeps it), and a failed read may
// be tried again; any other failure inside a call (a MemoryError, another
// builder failure, a C++ exception) leaves the decoder part-way through a
// value, so it stops the stream for good: no value is handed out after it,
// and every later call raises RuntimeError "decoder stopped by an earlier
// {class}".
class ValueStream {
 public:
  ValueStream() noexcept;
  ~ValueStream();
  ValueStream(const ValueStream&) = delete;
  ValueStream& operator=(const ValueStream&) = delete;

  // As PyIter_NextItem: 1 with `out` set, 0 at the verified trailer, -1 with
  // an exception set. `path` names the file a failed read is reported for.
  [[nodiscard]] int next(Decoder& decoder, PyRef& out, std::string_view path = {});
  // Stops the stream for a failure of the caller's own, named by `by` or by
  // the exception set.
  void stop(const char* by) { stopped_by_ = by; }
  void stop_by_pending();

 private:
  // Made on first use and kept, so that keys and shared strings are made
  // once for the whole stream.
  std::unique_ptr<ObjectBuilder> builder_;
  // Set while a value is being read, and kept when the read does not end
  // cleanly; names the exception class for the message.
  std::string stopped_by_;
};

// A new list that takes over `items`.
[[nodiscard]] PyRef list_of(std::vector<PyRef>&& items);

// One value as itself, any other number as a list.
[[nodiscard]] PyRef single_or_list(std::vector<PyRef>&& items);

// A new bytes object holding a copy of `data`.
[[nodiscard]] PyRef bytes_of(std::span<const std::uint8_t> data);

}  // namespace tuvax::py

#endif  // TUVAX_PY_DOCUMENT_HPP
