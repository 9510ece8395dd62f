#include "python.hpp"

#include "errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>  // std::abort
#include <cstring>  // strerror_r
#include <string>

#include "pyref.hpp"

namespace tuvax::py {
namespace {

[[noreturn]] void panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// Created on first use and kept for the life of the process; deliberately not
// a module attribute, since nobody should catch it by name.
PyObject* internal_error_type() noexcept {
  static PyMutex mutex{};
  static PyObject* type = nullptr;
  // PyMutex_Lock detaches the thread state while it waits, so a thread
  // blocked here never holds the interpreter lock the creator may need.
  PyMutex_Lock(&mutex);
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_tuvax_native.InternalError",
        "A broken internal invariant of the _tuvax_native extension (a bug, not bad input).",
        PyExc_BaseException, nullptr);
  }
  PyObject* t = type;
  PyMutex_Unlock(&mutex);
  return t;
}

PyObject* os_error_class(int err) noexcept {
  switch (err) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EEXIST: return PyExc_FileExistsError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    default: return PyExc_OSError;
  }
}

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) noexcept { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* strerror_text(const char* text, const char*) noexcept { return text; }

}  // namespace

void raise_core_error(CoreStep step, const TuvaxError& e) {
  PyObject* type = PyExc_RuntimeError;
  const char* prefix = "";
  switch (step) {
    case CoreStep::Encode: prefix = "encode error: "; break;
    case CoreStep::Finish: prefix = "finish error: "; break;
    case CoreStep::Decode: prefix = "decode error: "; break;
    case CoreStep::Parse: prefix = "parse error: "; type = PyExc_ValueError; break;
    case CoreStep::Format: type = PyExc_MemoryError; break;
  }
  const std::string text = prefix + e.message();
  // Parse messages quote the input; "replace" keeps a bad byte from turning
  // one error into another.
  PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (msg) PyErr_SetObject(type, msg.get());
}

void raise_os_error(int err) {
  char buf[256];
  const char* desc = strerror_text(strerror_r(err, buf, sizeof buf), buf);
  // The C library speaks the locale's encoding, which need not be UTF-8.
  PyRef text = PyRef::steal(PyUnicode_DecodeLocale(desc, "surrogateescape"));
  if (!text) return;
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("%U (os error %d)", text.get(), err));
  if (msg) PyErr_SetObject(os_error_class(err), msg.get());
}

void raise_nul_in_path() { PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte"); }

void raise_not_instance(PyObject* obj, const char* expected) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

void raise_already_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }

void raise_internal_failure(const char* message) noexcept {
  // Whatever was pending becomes the context of the new exception.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* type = internal_error_type();
  if (type == nullptr) panic();
  PyObject* msg = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (msg == nullptr) panic();
  PyObject* exc = PyObject_CallOneArg(type, msg);
  Py_DECREF(msg);
  if (exc == nullptr) panic();
  if (pending != nullptr) PyException_SetContext(exc, pending);  // steals `pending`
  PyErr_SetRaisedException(exc);                                 // steals `exc`
}

}  // namespace tuvax::py
