#include "python.hpp"

#include <atomic>
#include <cstdint>
#include <memory>  // std::unique_ptr
#include <new>     // placement new, std::bad_alloc
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "py_builder.hpp"
#include "pyref.hpp"
#include "tuvax/decoder.hpp"

namespace tuvax::py {
namespace {

struct DecoderObject {
  PyObject_HEAD
  std::vector<std::uint8_t> data;  // a copy: the caller's bytes may go away
  // Reads `data` in place, which never moves while the instance lives. Its
  // position is the one that iteration and decode_all share; after an error
  // it returns that error again on every call.
  Decoder decoder;
  // Its builder holds only str objects, which refer to nothing, so the
  // instance still needs no cycle collection.
  ValueStream values;
  bool consumed;  // decode_all has run
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
    DecoderObject* obj = as_decoder(self);
    new (&obj->data) std::vector<std::uint8_t>(std::move(copy));
    new (&obj->decoder) Decoder(obj->data);
    new (&obj->values) ValueStream();
    obj->consumed = false;
    new (&as_decoder(self)->busy) std::atomic<bool>(false);
    return self;
  });
}

void decoder_dealloc(PyObject* self) {
  DecoderObject* obj = as_decoder(self);
  obj->values.~ValueStream();
  obj->decoder.~Decoder();  // before the bytes it reads
  obj->data.~vector();
  obj->busy.~atomic();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

void raise_consumed() { PyErr_SetString(PyExc_RuntimeError, "decoder already consumed"); }

PyObject* decoder_decode_all(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.taken()) return nullptr;
    if (obj->consumed) {
      raise_consumed();
      return nullptr;
    }
    obj->consumed = true;  // whatever happens next
    // The values not yet taken by iteration.
    // Values already read are lost with a failure here, so it stops the
    // decoder as a failure inside a value does.
    std::vector<PyRef> items;
    try {
      for (;;) {
        PyRef item;
        const int r = obj->values.next(obj->decoder, item);
        if (r < 0) return nullptr;
        if (r == 0) break;
        items.push_back(std::move(item));
      }
    } catch (const std::bad_alloc&) {
      obj->values.stop("MemoryError");
      throw;
    }
    PyRef list = list_of(std::move(items));
    if (!list) obj->values.stop_by_pending();
    return list.release();
  });
}

PyObject* decoder_iternext(PyObject* self) {
  return guard([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.taken()) return nullptr;
    PyRef item;
    const int r = obj->values.next(obj->decoder, item);
    if (r < 0) return nullptr;
    // Only once the trailer has verified: a damaged end raises instead.
    if (r == 0) PyErr_SetNone(PyExc_StopIteration);
    return item.release();
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
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(decoder_iternext)},
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
  return reinterpret_cast<PyTypeObject*>(create_once(mutex, type, [] { return PyType_FromSpec(&decoder_spec); }));
}

}  // namespace tuvax::py
