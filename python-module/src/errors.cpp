#include "python.hpp"

#include "errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>  // std::abort
#include <cstring>  // strerror_r
#include <string>
#include <utility>

#include "pyref.hpp"
#include "tuvax/limits.hpp"

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
  return create_once(mutex, type, [] {
    return PyErr_NewExceptionWithDoc(
        "_tuvax_native.InternalError",
        "A broken internal invariant of the _tuvax_native extension (a bug, not bad input).",
        PyExc_BaseException, nullptr);
  });
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

bool set_u64(PyObject* exc, const char* name, std::uint64_t v) {
  PyRef n = PyRef::steal(PyLong_FromUnsignedLongLong(v));
  return n && PyObject_SetAttrString(exc, name, n.get()) == 0;
}

bool set_core_attributes(PyObject* exc, const TuvaxError& e) {
  PyRef kind = PyRef::steal(PyUnicode_FromString(kind_name(e.kind())));
  if (!kind || PyObject_SetAttrString(exc, "kind", kind.get()) != 0) return false;
  const FieldNames f = field_names(e.kind());
  // Every instance answers `offset`, so callers need no getattr default.
  if (f.first == nullptr || std::strcmp(f.first, "offset") != 0) {
    if (PyObject_SetAttrString(exc, "offset", Py_None) != 0) return false;
  }
  if (f.first != nullptr && !set_u64(exc, f.first, e.first())) return false;
  if (f.second != nullptr && !set_u64(exc, f.second, e.second())) return false;
  // Where in the document, for the errors that happened in a block.
  for (const auto& [name, value] : {std::pair{"block_index", e.block() ? std::optional(e.block()->index) : std::nullopt},
                                    std::pair{"block_offset", e.block() ? std::optional(e.block()->offset) : std::nullopt}}) {
    if (value ? !set_u64(exc, name, *value) : PyObject_SetAttrString(exc, name, Py_None) != 0) return false;
  }
  if (f.text) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(e.text().data(), static_cast<Py_ssize_t>(e.text().size()), "replace"));
    if (!text || PyObject_SetAttrString(exc, "detail", text.get()) != 0) return false;
  }
  return true;
}

// Adds `note` (a new reference, or nullptr after a failure) to the pending
// exception; any failure on the way is dropped and the exception kept.
void add_note(PyRef note) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return;
  if (!note || !PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()))) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
}

// A key as a JSON string, as json.dumps(key, ensure_ascii=False) writes it.
bool write_json_string(PyUnicodeWriter* w, PyObject* key) {
  if (PyUnicodeWriter_WriteChar(w, '"') < 0) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(key, i);
    int r = 0;
    switch (c) {
      case '"': r = PyUnicodeWriter_WriteUTF8(w, "\\\"", 2); break;
      case '\\': r = PyUnicodeWriter_WriteUTF8(w, "\\\\", 2); break;
      case '\n': r = PyUnicodeWriter_WriteUTF8(w, "\\n", 2); break;
      case '\r': r = PyUnicodeWriter_WriteUTF8(w, "\\r", 2); break;
      case '\t': r = PyUnicodeWriter_WriteUTF8(w, "\\t", 2); break;
      case '\b': r = PyUnicodeWriter_WriteUTF8(w, "\\b", 2); break;
      case '\f': r = PyUnicodeWriter_WriteUTF8(w, "\\f", 2); break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
          r = PyUnicodeWriter_WriteUTF8(w, esc, 6);
        } else {
          r = PyUnicodeWriter_WriteChar(w, c);
        }
    }
    if (r < 0) return false;
  }
  return PyUnicodeWriter_WriteChar(w, '"') == 0;
}

// "when encoding $.a[1]["first name"]": a key that is an identifier after
// a dot, any other in brackets as a JSON string, as jq and JSONPath write
// them.
PyRef path_note(std::span<const PathStep> steps) {
  PyUnicodeWriter* w = PyUnicodeWriter_Create(0);
  if (w == nullptr) return {};
  bool ok = PyUnicodeWriter_WriteUTF8(w, "when encoding $", -1) == 0;
  for (auto it = steps.begin(); ok && it != steps.end(); ++it) {
    PyObject* key = it->key.get();
    if (key == nullptr) {
      char index[32];
      const int len = std::snprintf(index, sizeof index, "[%zd]", it->index);
      ok = PyUnicodeWriter_WriteUTF8(w, index, len) == 0;
    } else if (PyUnicode_IsIdentifier(key) == 1) {
      ok = PyUnicodeWriter_WriteChar(w, '.') == 0 && PyUnicodeWriter_WriteStr(w, key) == 0;
    } else {
      ok = PyUnicodeWriter_WriteChar(w, '[') == 0 && write_json_string(w, key) &&
           PyUnicodeWriter_WriteChar(w, ']') == 0;
    }
  }
  if (!ok) {
    PyUnicodeWriter_Discard(w);
    return {};
  }
  return PyRef::steal(PyUnicodeWriter_Finish(w));
}

}  // namespace

void add_path_note(std::span<const PathStep> steps) {
  if (steps.empty() || !PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_RecursionError)) return;
  // Made while the exception is put aside: the writer's calls must not see it.
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef note = path_note(steps);
  PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  add_note(std::move(note));
}

void add_limit_hint(const TuvaxError& e) {
  const Limits limits;
  PyRef hint;
  switch (e.kind()) {
    case ErrorKind::TooManyItems:
      hint = PyRef::steal(PyUnicode_FromFormat(
          "hint: a list or dict holds at most %llu items; write a long list's items as separate "
          "top-level values with Encoder.encode, or split it into smaller containers",
          static_cast<unsigned long long>(limits.max_items)));
      break;
    case ErrorKind::BlockTooLarge:
      hint = PyRef::steal(PyUnicode_FromFormat(
          "hint: one top-level value takes at most %llu bytes (64 MiB) encoded; write its items as "
          "separate values with Encoder.encode, which continues in further blocks",
          static_cast<unsigned long long>(limits.max_block_size)));
      break;
    case ErrorKind::MemoryLimitExceeded:
      if (e.limit() == limits.max_string_len) {
        hint = PyRef::steal(PyUnicode_FromFormat(
            "hint: one string or byte string holds at most %llu bytes (16 MiB); split it into "
            "pieces, or keep data that large outside the document",
            static_cast<unsigned long long>(limits.max_string_len)));
      } else if (e.limit() == limits.max_memory) {
        hint = PyRef::steal(PyUnicode_FromFormat(
            "hint: the strings and byte strings of one document total at most %llu bytes "
            "(256 MiB); write the data as several documents",
            static_cast<unsigned long long>(limits.max_memory)));
      }
      break;
    default: break;
  }
  if (hint || PyErr_Occurred()) add_note(std::move(hint));
}

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
  std::string text = prefix + e.message();
  // The printer's one failure that is not about memory: text nested deeper
  // than parse_text reads back.
  if (step == CoreStep::Format && e.kind() == ErrorKind::NestingTooDeep) {
    type = PyExc_ValueError;
    text = text_nesting_message(e.maximum());
  }
  // Parse messages quote the input; "replace" keeps a bad byte from turning
  // one error into another.
  PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!msg) return;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, msg.get()));
  if (!exc || !set_core_attributes(exc.get(), e)) return;
  // Through PyErr_SetObject, so that an exception being handled becomes the
  // context, as it did when the message alone was raised.
  PyErr_SetObject(type, exc.get());
}

void raise_os_error(int err, std::optional<std::string_view> filename) {
  char buf[256];
  const char* desc = strerror_text(strerror_r(err, buf, sizeof buf), buf);
  // The C library speaks the locale's encoding, which need not be UTF-8.
  PyRef text = PyRef::steal(PyUnicode_DecodeLocale(desc, "surrogateescape"));
  if (!text) return;
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("%U (os error %d)", text.get(), err));
  if (!msg) return;
  // The mapped class itself, with the message as its one argument. Only
  // errno is set: OSError shows its arguments as long as strerror and
  // filename stay unset, so the path goes into a note instead.
  PyObject* type = os_error_class(err);
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, msg.get()));
  PyRef code = PyRef::steal(PyLong_FromLong(err));
  if (!exc || !code || PyObject_SetAttrString(exc.get(), "errno", code.get()) != 0) return;
  if (filename) {
    // Paths reach the file functions as the file system's bytes.
    PyRef name = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(filename->data(), static_cast<Py_ssize_t>(filename->size())));
    if (!name) return;
    PyRef note = PyRef::steal(PyUnicode_FromFormat("file: %R", name.get()));
    if (!note) return;
    PyRef r = PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
    if (!r) return;
  }
  PyErr_SetObject(type, exc.get());
}

void raise_file_error(CoreStep step, const TuvaxError& e, std::string_view path) {
  if (e.kind() != ErrorKind::Io) {
    raise_core_error(step, e);
    return;
  }
  if (PyErr_Occurred()) return;
  raise_os_error(static_cast<int>(e.os_errno()), path.empty() ? std::nullopt : std::optional(path));
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
