#include "python.hpp"

#include <atomic>
#include <new>  // placement new
#include <optional>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "file_io.hpp"
#include "module.hpp"
#include "pyref.hpp"
#include "tuvax/encoder.hpp"

namespace tuvax::py {
namespace {

struct EncoderObject {
  PyObject_HEAD
  // Present until the first finish or finish_to_file; absent means finished.
  std::optional<Encoder> encoder;
  std::atomic<bool> busy;
};

EncoderObject* as_encoder(PyObject* self) noexcept { return reinterpret_cast<EncoderObject*>(self); }

void raise_finished() { PyErr_SetString(PyExc_RuntimeError, "encoder already finished"); }

// false, with "encoder already finished" raised, once a finish succeeded.
bool open_or_raise(const std::optional<Encoder>& encoder) {
  if (!encoder) raise_finished();
  return encoder.has_value();
}

constexpr const char* comp_names[] = {"comp"};
constexpr const char* obj_names[] = {"obj"};
constexpr const char* path_names[] = {"path"};
constexpr Signature new_sig{"Encoder.__new__()", {}, 0};
constexpr Signature set_compression_sig{"Encoder.set_compression()", comp_names, 1};
constexpr Signature encode_sig{"Encoder.encode()", obj_names, 1};
constexpr Signature finish_to_file_sig{"Encoder.finish_to_file()", path_names, 1};
constexpr const char* obj_default_names[] = {"obj", "default"};
constexpr Signature generous_encode_sig{"Encoder._encode()", obj_default_names, 2};
constexpr Signature any_path_finish_sig{"Encoder._finish_to_file()", path_names, 1};

struct CompressionName {
  const char* name;
  Compression code;
};
constexpr CompressionName compression_names[] = {
    {"none", Compression::None},
    {"zstd", Compression::Zstd},
    {"snappy", Compression::Snappy},
    {"lz4", Compression::Lz4},
};

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!bind_tuple(new_sig, args, kwargs, nullptr)) return nullptr;
    std::optional<Encoder> encoder(std::in_place, Limits{}, bytes_memory());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // `encoder` goes with this scope
    new (&as_encoder(self)->encoder) std::optional<Encoder>(std::move(encoder));
    new (&as_encoder(self)->busy) std::atomic<bool>(false);
    return self;
  });
}

void encoder_dealloc(PyObject* self) {
  EncoderObject* obj = as_encoder(self);
  obj->encoder.~optional();
  obj->busy.~atomic();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* encoder_enable_dedup(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    BorrowGuard borrow(as_encoder(self)->busy);
    if (!borrow.taken()) return nullptr;
    auto& encoder = as_encoder(self)->encoder;
    if (!open_or_raise(encoder)) return nullptr;
    encoder->enable_dedup();
    Py_RETURN_NONE;
  });
}

PyObject* encoder_set_compression(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(set_compression_sig, args, nargs, kwnames, argv)) return nullptr;
    BorrowGuard borrow(as_encoder(self)->busy);
    if (!borrow.taken()) return nullptr;
    PyObject* comp = argv[0];
    if (!arg_str("comp", comp)) return nullptr;
    // Full Unicode lowercasing is str.lower() of the exact str (a subclass
    // could override lower()).
    PyRef exact = PyRef::steal(PyUnicode_FromObject(comp));
    if (!exact) return nullptr;
    PyRef lowered = PyRef::steal(PyObject_CallMethod(exact.get(), "lower", nullptr));
    if (!lowered) return nullptr;
    const CompressionName* match = nullptr;
    for (const CompressionName& c : compression_names) {
      if (PyUnicode_EqualToUTF8(lowered.get(), c.name)) match = &c;
    }
    if (match == nullptr) {
      PyErr_Format(PyExc_ValueError, "unknown compression: %U (expected none, lz4, zstd, snappy)", comp);
      return nullptr;
    }
    auto& encoder = as_encoder(self)->encoder;
    if (!open_or_raise(encoder)) return nullptr;
    encoder->set_compression(match->code);
    Py_RETURN_NONE;
  });
}

// Appends `obj` walked in `mode`, once the instance is known to be free.
PyObject* encode_value(PyObject* self, PyObject* obj, WalkMode mode) {
  BorrowGuard borrow(as_encoder(self)->busy);
  if (!borrow.taken()) return nullptr;
  auto& encoder = as_encoder(self)->encoder;
  if (!encoder) {
    // A conversion error wins, finished or not.
    if (check_convertible(obj, mode.without_hook())) raise_finished();
    return nullptr;
  }
  if (!encode_into(*encoder, obj, mode)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(encode_sig, args, nargs, kwnames, argv)) return nullptr;
    return encode_value(self, argv[0], {});
  });
}

// encode() as the tuvax package offers it: tuples, list, tuple and dict
// subclasses, and `default` (None or a callable) for anything else.
PyObject* encoder_generous_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[2];
    if (!bind_fastcall(generous_encode_sig, args, nargs, kwnames, argv)) return nullptr;
    auto default_fn = arg_callable_or_none("default", argv[1]);
    if (!default_fn) return nullptr;
    return encode_value(self, argv[0], {.generous = true, .default_fn = *default_fn});
  });
}

PyObject* encoder_finish(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    BorrowGuard borrow(as_encoder(self)->busy);
    if (!borrow.taken()) return nullptr;
    auto& encoder = as_encoder(self)->encoder;
    if (!open_or_raise(encoder)) return nullptr;
    PyRef bytes = finish_to_bytes(*encoder);
    if (bytes) encoder.reset();  // only a finish that succeeded ends the encoder
    return bytes.release();
  });
}

// Finishes into the file at `path`, once the instance is known to be free.
// Only a finish that succeeds ends the encoder: after a failed write the
// file is as it was, and so is the encoder, with every value it held.
PyObject* finish_into(PyObject* self, std::string_view path) {
  auto& encoder = as_encoder(self)->encoder;
  if (!open_or_raise(encoder)) return nullptr;
  auto out = document_bytes(*encoder);
  if (!out) return nullptr;
  bool written = false;
  try {
    written = write_output(path, *out);
  } catch (...) {
    encoder->reopen();
    throw;
  }
  if (!written) {
    encoder->reopen();
    return nullptr;
  }
  encoder.reset();
  Py_RETURN_NONE;
}

PyObject* encoder_finish_to_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(finish_to_file_sig, args, nargs, kwnames, argv)) return nullptr;
    BorrowGuard borrow(as_encoder(self)->busy);
    if (!borrow.taken()) return nullptr;
    auto path = arg_str("path", argv[0]);
    if (!path) return nullptr;
    return finish_into(self, *path);
  });
}

// finish_to_file() with a str, bytes or os.PathLike path, for the package.
PyObject* encoder_any_path_finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(any_path_finish_sig, args, nargs, kwnames, argv)) return nullptr;
    BorrowGuard borrow(as_encoder(self)->busy);
    if (!borrow.taken()) return nullptr;
    PyRef holder;
    auto path = arg_path("path", argv[0], holder);
    if (!path) return nullptr;
    return finish_into(self, *path);
  });
}

// ---- Type ----

PyDoc_STRVAR(encoder_doc,
             "Encoder()\n--\n\n"
             "Incremental Tuvax encoder.\n\n"
             "Example::\n\n"
             "    enc = Encoder()\n"
             "    enc.enable_dedup()\n"
             "    enc.set_compression(\"lz4\")\n"
             "    enc.encode({\"key\": \"value\"})\n"
             "    data = enc.finish()");

PyDoc_STRVAR(enable_dedup_doc,
             "enable_dedup($self)\n--\n\n"
             "Enable string deduplication for subsequent blocks.");
PyDoc_STRVAR(set_compression_doc,
             "set_compression($self, comp)\n--\n\n"
             "Set compression type: \"none\", \"lz4\", \"zstd\", or \"snappy\".");
PyDoc_STRVAR(encode_doc,
             "encode($self, obj)\n--\n\n"
             "Encode a Python value into the current block.");
PyDoc_STRVAR(finish_doc,
             "finish($self)\n--\n\n"
             "Flush and finalize the encoder, returning the Tuvax binary output as `bytes`.\n"
             "The encoder cannot be used after this call.");
PyDoc_STRVAR(finish_to_file_doc,
             "finish_to_file($self, path)\n--\n\n"
             "Flush and finalize the encoder, writing the output directly to a file.\n"
             "The encoder cannot be used after this call.\n\n"
             "Args:\n"
             "    path: File path to write the encoded binary data to.\n\n"
             "Raises:\n"
             "    RuntimeError: If encoding fails or the encoder was already finished.\n"
             "    OSError: If writing to the file fails.");

PyDoc_STRVAR(generous_encode_doc,
             "_encode($self, obj, default)\n--\n\n"
             "encode() as the tuvax package offers it: tuples, list, tuple and dict\n"
             "subclasses, and `default` (None or a callable) for anything else.");
PyDoc_STRVAR(any_path_finish_doc,
             "_finish_to_file($self, path)\n--\n\n"
             "finish_to_file() with a str, bytes or os.PathLike path.");

template <auto F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef encoder_methods[] = {
    {"enable_dedup", encoder_enable_dedup, METH_NOARGS, enable_dedup_doc},
    {"set_compression", as_cfunction<encoder_set_compression>(), METH_FASTCALL | METH_KEYWORDS, set_compression_doc},
    {"encode", as_cfunction<encoder_encode>(), METH_FASTCALL | METH_KEYWORDS, encode_doc},
    {"finish", encoder_finish, METH_NOARGS, finish_doc},
    {"finish_to_file", as_cfunction<encoder_finish_to_file>(), METH_FASTCALL | METH_KEYWORDS, finish_to_file_doc},
    // What the tuvax package's Encoder calls.
    {"_encode", as_cfunction<encoder_generous_encode>(), METH_FASTCALL | METH_KEYWORDS, generous_encode_doc},
    {"_finish_to_file", as_cfunction<encoder_any_path_finish>(), METH_FASTCALL | METH_KEYWORDS, any_path_finish_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(encoder_doc)},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    .name = "_tuvax_native.Encoder",
    .basicsize = sizeof(EncoderObject),
    .itemsize = 0,
    // Not a base type: methods may then trust that self is laid out as
    // EncoderObject. No GC: instances hold no Python references.
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = encoder_slots,
};

}  // namespace

PyTypeObject* encoder_type() noexcept {
  static PyMutex mutex{};
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(create_once(mutex, type, [] { return PyType_FromSpec(&encoder_spec); }));
}

}  // namespace tuvax::py
