#include "python.hpp"

#include <atomic>
#include <cstdint>
#include <new>  // placement new
#include <utility>
#include <vector>

#include "args.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "pyref.hpp"

namespace tuvax::py {
namespace {

struct DecoderObject {
  PyObject_HEAD
  std::vector<std::uint8_t> data;  // a copy: the caller's bytes may go away
  bool consumed;
  std::atomic<bool> busy;
};

DecoderObject* as_decoder(PyObject* self) noexcept { return reinterpret_cast<DecoderObject*>(self); }

constexpr const char* data_names[] = {"data"};
constexpr Signature new_sig{"TuvaxDecoder.__new__()", data_names, 1};

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_tuple(new_sig, args, kwargs, argv)) return nullptr;
    auto data = arg_bytes("data", argv[0]);
    if (!data) return nullptr;
    std::vector<std::uint8_t> copy(data->begin(), data->end());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // `copy` goes with this scope
    new (&as_decoder(self)->data) std::vector<std::uint8_t>(std::move(copy));
    as_decoder(self)->consumed = false;
    new (&as_decoder(self)->busy) std::atomic<bool>(false);
    return self;
  });
}

void decoder_dealloc(PyObject* self) {
  DecoderObject* obj = as_decoder(self);
  obj->data.~vector();
  obj->busy.~atomic();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* decoder_decode_all(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.held) {
      raise_already_borrowed();
      return nullptr;
    }
    if (obj->consumed) {
      PyErr_SetString(PyExc_RuntimeError, "decoder already consumed");
      return nullptr;
    }
    obj->consumed = true;  // whatever happens next
    auto items = decode_document(obj->data);
    if (!items) return nullptr;
    return list_of(std::move(*items)).release();
  });
}

// ---- Type ----

PyDoc_STRVAR(decoder_doc,
             "TuvaxDecoder(data)\n--\n\n"
             "Incremental Tuvax decoder.\n\n"
             "Example::\n\n"
             "    dec = Decoder(data)\n"
             "    values = dec.decode_all()");

PyDoc_STRVAR(decode_all_doc,
             "decode_all($self)\n--\n\n"
             "Decode all values from the binary data.");

PyMethodDef decoder_methods[] = {
    {"decode_all", decoder_decode_all, METH_NOARGS, decode_all_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(decoder_doc)},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    .name = "_tuvax_native.TuvaxDecoder",
    .basicsize = sizeof(DecoderObject),
    .itemsize = 0,
    // Not a base type, so self is always a DecoderObject; no GC, since
    // instances hold no Python references.
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = decoder_slots,
};

}  // namespace

PyTypeObject* decoder_type() noexcept {
  static PyMutex mutex{};
  static PyObject* type = nullptr;
  // PyMutex_Lock detaches the thread state while it waits, so this guard
  // cannot deadlock with the interpreter lock held by the creating thread.
  PyMutex_Lock(&mutex);
  if (type == nullptr) type = PyType_FromSpec(&decoder_spec);
  PyObject* t = type;
  PyMutex_Unlock(&mutex);
  return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace tuvax::py
