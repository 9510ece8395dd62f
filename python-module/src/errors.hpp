#ifndef TUVAX_PY_ERRORS_HPP
#define TUVAX_PY_ERRORS_HPP

#include "python.hpp"

#include <cstdint>
#include <exception>
#include <new>  // std::bad_alloc
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "pyref.hpp"
#include "tuvax/error.hpp"

namespace tuvax::py {

// Every function here sets a Python exception and returns nothing useful:
// the caller returns its own failure value (nullptr, -1, false, nullopt).

// The core step that failed; it picks the message prefix and the class.
enum class CoreStep : std::uint8_t {
  Encode,  // RuntimeError "encode error: {e}"
  // RuntimeError "finish error: {e}". No finish fails in the core today
  // (every limit is checked as values come in, and a finish's I/O fails as
  // the mapped OSError); kept for steps that can, such as compression.
  Finish,
  Decode,  // RuntimeError "decode error: {e}"
  Parse,   // ValueError "parse error: {e}"
  Format,  // MemoryError "{e}" (indentation or output too large); NestingTooDeep: ValueError text_nesting_message(max)
};

// The exception carries the error's facts as attributes: `kind` (the kind's
// name, "ChecksumMismatch"), `offset` (None for kinds without one) and the
// kind's own fields: expected/actual, depth/maximum, size/maximum,
// count/maximum, requested/limit, tag, version, code, block_type, detail
// (the text of the kinds that carry one), lineno/colno for text parse errors.
void raise_core_error(CoreStep step, const TuvaxError& e);

// One step from a container to a member: a dict key (a str), or, with `key`
// empty, a list or tuple index.
struct PathStep {
  PyRef key;
  Py_ssize_t index = 0;
};

// Adds the note "when encoding $.users[1].joined" to the pending exception,
// the path given as the steps from the top-level value down (outermost
// first). Nothing for the top-level value itself (no steps), nor for
// RecursionError, whose path is only its depth. Whatever fails while the
// note is made leaves the pending exception as it was.
void add_path_note(std::span<const PathStep> steps);

// Adds to the pending exception, an encoder's error `e`, a note that names
// the limit and the way around it: TooManyItems, BlockTooLarge, and
// MemoryLimitExceeded (one string, or a document's strings in all). Other
// kinds get none.
void add_limit_hint(const TuvaxError& e);

// The OSError class mapped from `err` (FileNotFoundError for ENOENT, ...),
// exactly, with the message "{strerror} (os error {err})" as its one
// argument and errno set; the path, when given (the file system's bytes),
// is named in an exception note.
void raise_os_error(int err, std::optional<std::string_view> filename = std::nullopt);

// Raises `e` from an operation on the file at `path` (the file system's
// bytes, or empty for no file): Io as the mapped OSError naming the file,
// unless a Python exception is already set (a signal handler's, or a file
// object's), which then stands; any other kind as raise_core_error(step).
void raise_file_error(CoreStep step, const TuvaxError& e, std::string_view path);

// OSError "file name contained an unexpected NUL byte".
void raise_nul_in_path();

// TypeError "'{qualname of type(obj)}' object is not an instance of '{expected}'".
void raise_not_instance(PyObject* obj, const char* expected);

// Raises the internal-failure exception with `message`: a broken invariant,
// not bad input. Its class derives from BaseException so that `except
// Exception` does not swallow it. Aborts the process if even that fails.
void raise_internal_failure(const char* message) noexcept;

// Runs an entry point's body so that no C++ exception unwinds into the
// interpreter: std::bad_alloc becomes MemoryError, anything else the
// internal-failure exception. The body returns a new reference or nullptr
// (or 0 / -1); a failure must come with a Python exception set.
template <typename F>
auto guard(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>);
  constexpr R failed = [] {
    if constexpr (std::is_same_v<R, int>) return -1;
    else return static_cast<PyObject*>(nullptr);
  }();
  try {
    R r = body();
    if (r == failed) {
      if (!PyErr_Occurred()) raise_internal_failure("error return without exception set");
    } else if (PyErr_Occurred()) {
      if constexpr (std::is_same_v<R, PyObject*>) Py_DECREF(r);
      raise_internal_failure("result returned with an exception set");
      return failed;
    }
    return r;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_failure(e.what());
  } catch (...) {
    raise_internal_failure("unknown C++ exception");
  }
  return failed;
}

}  // namespace tuvax::py

#endif  // TUVAX_PY_ERRORS_HPP
