#ifndef TUVAX_PY_ARGS_HPP
#define TUVAX_PY_ARGS_HPP

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "pyref.hpp"

namespace tuvax::py {

// The parameters of one function or method: the first `positional` are
// positional-or-keyword, the rest keyword-only; the first `required` have no
// default.
struct Signature {
  const char* display;  // "encode()", "Encoder.set_compression()", "TuvaxDecoder.__new__()"
  std::span<const char* const> names;
  std::size_t required;
  std::size_t positional = static_cast<std::size_t>(-1);  // all of them
};

// Fills out[i] (borrowed) with the argument bound to names[i], or leaves it
// nullptr for an optional parameter that was not passed. `out` holds
// names.size() slots. On a wrong count or name: TypeError, false.
[[nodiscard]] bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames, PyObject** out);
// The same for the tuple-and-dict convention of tp_new.
[[nodiscard]] bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---- Coercions of bound arguments ----
// A TypeError from a coercion reads "argument '{param}': {message}"; other
// errors (OverflowError, UnicodeEncodeError) pass unchanged.

// `bytes` or a subclass: its buffer, borrowed from `obj`.
[[nodiscard]] std::optional<std::span<const std::uint8_t>> arg_bytes(const char* param, PyObject* obj);
// `str` or a subclass: its UTF-8 form, cached by the interpreter inside `obj`.
[[nodiscard]] std::optional<std::string_view> arg_str(const char* param, PyObject* obj);
// An int, or anything with __index__, from 0 to 2**64 - 1.
[[nodiscard]] std::optional<std::uint64_t> arg_u64(const char* param, PyObject* obj);
// A file system path as open() takes it: str, bytes or os.PathLike, a str
// encoded with the file system encoding and its error handler (surrogate
// escapes included), so that any name the system has can be given. The
// bytes live in `holder`. ValueError "embedded null byte", as open() says.
[[nodiscard]] std::optional<std::string_view> arg_path(const char* param, PyObject* obj, PyRef& holder);
// None (nullptr) or a callable, borrowed from the caller.
[[nodiscard]] std::optional<PyObject*> arg_callable_or_none(const char* param, PyObject* obj);

}  // namespace tuvax::py

#endif  // TUVAX_PY_ARGS_HPP
