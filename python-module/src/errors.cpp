#include "python.hpp"

#include "errors.hpp"

#include <array>
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

// ---- OSError with its attributes and its message ----

// OSError's own str() turns a set errno and strerror into "[Errno 2] ...";
// the subclass shows the message it was created with instead.
PyObject* os_error_str(PyObject* self) {
  PyRef args = PyRef::steal(PyException_GetArgs(self));
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1)
    return PyObject_Str(PyTuple_GET_ITEM(args.get(), 0));
  return reinterpret_cast<PyTypeObject*>(PyExc_OSError)->tp_str(self);
}

// Pickles (and copies) as the mapped class with the same message, as the
// plain exception did, since the subclass is no importable name.
PyObject* os_error_reduce(PyObject* self, PyObject*) {
  PyRef args = PyRef::steal(PyException_GetArgs(self));
  if (!args) return nullptr;
  return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)->tp_base), args.get());
}

PyMethodDef os_error_methods[] = {
    {"__reduce__", os_error_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot os_error_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(os_error_str)},
    {Py_tp_methods, os_error_methods},
    {0, nullptr},
};

// Created on first use, one per mapped class, kept for the life of the
// process. PyMutex_Lock detaches the thread state while it waits, so a
// thread blocked here never holds the interpreter lock the creator needs.
PyObject* os_error_subclass(PyObject* base) noexcept {
  static PyMutex mutex{};
  static std::array<std::pair<PyObject*, PyObject*>, 16> made{};
  PyMutex_Lock(&mutex);
  PyObject* found = nullptr;
  for (auto& [b, sub] : made) {
    if (b == base || b == nullptr) {
      if (b == nullptr) {
        // A fixed buffer: nothing here may throw while the mutex is held.
        char name[96];
        std::snprintf(name, sizeof name, "_tuvax_native.%s", reinterpret_cast<PyTypeObject*>(base)->tp_name);
        PyType_Spec spec = {
            .name = name,
            .basicsize = 0,  // the base's layout
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT,
            .slots = os_error_slots,
        };
        sub = PyType_FromSpecWithBases(&spec, base);
        if (sub != nullptr) b = base;
      }
      found = sub;
      break;
    }
  }
  PyMutex_Unlock(&mutex);
  return found;
}

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) noexcept { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* strerror_text(const char* text, const char*) noexcept { return text; }

const char* kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Io: return "Io";
    case ErrorKind::InvalidMagic: return "InvalidMagic";
    case ErrorKind::UnsupportedVersion: return "UnsupportedVersion";
    case ErrorKind::InvalidWireType: return "InvalidWireType";
    case ErrorKind::VarintOverflow: return "VarintOverflow";
    case ErrorKind::UnexpectedEof: return "UnexpectedEof";
    case ErrorKind::ChecksumMismatch: return "ChecksumMismatch";
    case ErrorKind::InvalidUtf8: return "InvalidUtf8";
    case ErrorKind::NestingTooDeep: return "NestingTooDeep";
    case ErrorKind::BlockTooLarge: return "BlockTooLarge";
    case ErrorKind::TooManyItems: return "TooManyItems";
    case ErrorKind::UnknownCompression: return "UnknownCompression";
    case ErrorKind::Decompression: return "Decompression";
    case ErrorKind::InvalidBlockType: return "InvalidBlockType";
    case ErrorKind::TextParse: return "TextParse";
    case ErrorKind::SchemaMismatch: return "SchemaMismatch";
    case ErrorKind::MemoryLimitExceeded: return "MemoryLimitExceeded";
    case ErrorKind::InvalidBase64: return "InvalidBase64";
    case ErrorKind::InvalidData: return "InvalidData";
  }
  return "Unknown";
}

// The names of a kind's numeric fields a() and b() (nullptr: unused), and
// whether its text is a field of its own.
struct FieldNames {
  const char* a = nullptr;
  const char* b = nullptr;
  bool detail = false;
};

FieldNames field_names(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Io: return {"errno"};
    case ErrorKind::UnsupportedVersion: return {"version"};
    case ErrorKind::InvalidWireType: return {"tag"};
    case ErrorKind::UnexpectedEof:
    case ErrorKind::InvalidUtf8: return {"offset"};
    case ErrorKind::ChecksumMismatch: return {"expected", "actual"};
    case ErrorKind::NestingTooDeep: return {"depth", "maximum"};
    case ErrorKind::BlockTooLarge: return {"size", "maximum"};
    case ErrorKind::TooManyItems: return {"count", "maximum"};
    case ErrorKind::UnknownCompression: return {"code"};
    case ErrorKind::InvalidBlockType: return {"block_type"};
    case ErrorKind::TextParse: return {"lineno", "colno", true};
    case ErrorKind::MemoryLimitExceeded: return {"requested", "limit"};
    case ErrorKind::Decompression:
    case ErrorKind::SchemaMismatch:
    case ErrorKind::InvalidBase64:
    case ErrorKind::InvalidData: return {nullptr, nullptr, true};
    case ErrorKind::InvalidMagic:
    case ErrorKind::VarintOverflow: return {};
  }
  return {};
}

bool set_u64(PyObject* exc, const char* name, std::uint64_t v) {
  PyRef n = PyRef::steal(PyLong_FromUnsignedLongLong(v));
  return n && PyObject_SetAttrString(exc, name, n.get()) == 0;
}

bool set_core_attributes(PyObject* exc, const TuvaxError& e) {
  PyRef kind = PyRef::steal(PyUnicode_FromString(kind_name(e.kind())));
  if (!kind || PyObject_SetAttrString(exc, "kind", kind.get()) != 0) return false;
  const FieldNames f = field_names(e.kind());
  // Every instance answers `offset`, so callers need no getattr default.
  if (f.a == nullptr || std::strcmp(f.a, "offset") != 0) {
    if (PyObject_SetAttrString(exc, "offset", Py_None) != 0) return false;
  }
  if (f.a != nullptr && !set_u64(exc, f.a, e.a())) return false;
  if (f.b != nullptr && !set_u64(exc, f.b, e.b())) return false;
  if (f.detail) {
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
      if (e.b() == limits.max_string_len) {
        hint = PyRef::steal(PyUnicode_FromFormat(
            "hint: one string or byte string holds at most %llu bytes (16 MiB); split it into "
            "pieces, or keep data that large outside the document",
            static_cast<unsigned long long>(limits.max_string_len)));
      } else if (e.b() == limits.max_memory) {
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
    text = "nesting depth exceeds maximum " + std::to_string(e.b());
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
  PyObject* type = os_error_subclass(os_error_class(err));
  if (type == nullptr) return;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, msg.get()));
  PyRef code = PyRef::steal(PyLong_FromLong(err));
  if (!exc || !code || PyObject_SetAttrString(exc.get(), "errno", code.get()) != 0 ||
      PyObject_SetAttrString(exc.get(), "strerror", text.get()) != 0)
    return;
  if (filename) {
    // The path came from a str as UTF-8, so it decodes back to that str.
    PyRef name = PyRef::steal(
        PyUnicode_DecodeUTF8(filename->data(), static_cast<Py_ssize_t>(filename->size()), "surrogateescape"));
    if (!name || PyObject_SetAttrString(exc.get(), "filename", name.get()) != 0) return;
  }
  PyErr_SetObject(type, exc.get());
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
