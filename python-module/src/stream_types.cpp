// Documents written and read a block at a time, for the tuvax package's
// streaming API: _Writer appends values to a file or a write callable and
// emits each data block as it closes; _Reader hands out the values of one
// document from a file or a read callable, reading one block at a time and
// nothing after the trailer; _blocks lists a document's framing for tools.
// These are private: the nine specified names keep their exact behaviour.
#include "python.hpp"

#include <algorithm>  // std::min
#include <atomic>
#include <cstring>  // std::memcpy
#include <memory>
#include <new>  // placement new
#include <optional>
#include <string>
#include <utility>

#include "args.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "file_io.hpp"
#include "module.hpp"
#include "pyref.hpp"
#include "tuvax/decoder.hpp"
#include "tuvax/encoder.hpp"
#include "tuvax/varint.hpp"

namespace tuvax::py {
namespace {

// A path argument as the file system's bytes, kept (a NUL byte is already
// refused by the conversion), or nullopt with an exception set.
std::optional<std::string> owned_path(const char* param, PyObject* arg) {
  PyRef holder;
  auto path = arg_path(param, arg, holder);
  if (!path) return std::nullopt;
  return std::string(*path);
}

// Io(0) stands for "the Python exception that is set": raise_file_error
// then leaves it as it is.
TuvaxError python_failed() { return TuvaxError::io(0); }

// Hands each stretch to a write callable (a binary file's write) as bytes;
// a short write (a raw file's) is completed.
class CallSink final : public ByteSink {
 public:
  explicit CallSink(PyObject* write) noexcept : write_(write) {}
  Result<void> write(std::span<const std::uint8_t> bytes) override {
    while (!bytes.empty()) {
      PyRef chunk = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                           static_cast<Py_ssize_t>(bytes.size())));
      if (!chunk) return std::unexpected(python_failed());
      PyRef r = PyRef::steal(PyObject_CallOneArg(write_, chunk.get()));
      if (!r) return std::unexpected(python_failed());
      std::size_t n = bytes.size();
      if (PyLong_Check(r.get())) {
        const long long w = PyLong_AsLongLong(r.get());
        if (w < 0 || static_cast<unsigned long long>(w) > bytes.size()) {
          PyErr_SetString(PyExc_OSError, "write() returned an invalid length");
          return std::unexpected(python_failed());
        }
        n = static_cast<std::size_t>(w);
        if (n == 0) {
          PyErr_SetString(PyExc_OSError, "write() wrote nothing");
          return std::unexpected(python_failed());
        }
      }
      bytes = bytes.subspan(n);
    }
    return {};
  }

 private:
  PyObject* write_;  // borrowed from the writer object, which owns it
};

// Takes bytes from a read callable (a binary file's read), asking for no
// more than the framing needs, so the file's position ends just after the
// trailer.
class CallSource final : public StreamSource {
 public:
  explicit CallSource(PyObject* read) noexcept : read_(read) {}

 private:
  Result<std::size_t> read_some(std::uint8_t* out, std::size_t n) override {
    // A block's payload is asked for in pieces: read(64 MiB) would make a
    // bytes object as large as the buffer it is copied into.
    n = std::min(n, max_call_read);
    PyRef r = PyRef::steal(PyObject_CallFunction(read_, "n", static_cast<Py_ssize_t>(n)));
    if (!r) return std::unexpected(python_failed());
    Py_buffer view;
    if (PyObject_GetBuffer(r.get(), &view, PyBUF_SIMPLE) != 0) return std::unexpected(python_failed());
    const auto got = static_cast<std::size_t>(view.len);
    if (got > n) {
      PyBuffer_Release(&view);
      PyErr_Format(PyExc_OSError, "read(%zd) returned %zd bytes", static_cast<Py_ssize_t>(n),
                   static_cast<Py_ssize_t>(got));
      return std::unexpected(python_failed());
    }
    std::memcpy(out, view.buf, got);
    PyBuffer_Release(&view);
    return got;
  }
  static constexpr std::size_t max_call_read = std::size_t{1} << 20;
  PyObject* read_;  // borrowed from the reader object, which owns it
};

// ---- The object both types are ----

// A _Writer or a _Reader: the callable it writes to or reads from (none for
// a file, which the state holds), and its state.
template <typename State>
struct StreamObject {
  PyObject_HEAD
  PyObject* callable;
  std::unique_ptr<State> state;  // a writer's is empty once finished, aborted or failed
  std::atomic<bool> busy;
};

template <typename State>
StreamObject<State>* as_stream(PyObject* self) noexcept {
  return reinterpret_cast<StreamObject<State>*>(self);
}

// A new instance that takes over `state`, or nullptr with an exception set.
template <typename State>
PyObject* stream_alloc(PyTypeObject* type, PyObject* callable, std::unique_ptr<State> state) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  StreamObject<State>* obj = as_stream<State>(self);
  obj->callable = Py_XNewRef(callable);
  new (&obj->state) std::unique_ptr<State>(std::move(state));
  new (&obj->busy) std::atomic<bool>(false);
  return self;
}

template <typename State>
int stream_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_stream<State>(self)->callable);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

template <typename State>
int stream_clear(PyObject* self) {
  Py_CLEAR(as_stream<State>(self)->callable);
  return 0;
}

template <typename State>
void stream_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  StreamObject<State>* obj = as_stream<State>(self);
  Py_CLEAR(obj->callable);
  obj->state.~unique_ptr();  // an unfinished file is abandoned: its target stays as it was
  obj->busy.~atomic();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- _Writer ----

struct WriterState {
  GilBlocking blocking;
  std::string path;  // the file's bytes, or empty when writing to a callable
  AtomicFile file;
  std::optional<CallSink> call_sink;
  std::optional<BlockWriter> blocks;
  std::optional<Encoder> encoder;
};

using WriterObject = StreamObject<WriterState>;
WriterObject* as_writer(PyObject* self) noexcept { return as_stream<WriterState>(self); }

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* names[] = {"target", "dedup", nullptr};
    PyObject* target = nullptr;
    int dedup = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:_Writer", const_cast<char**>(names), &target, &dedup))
      return nullptr;
    auto state = std::make_unique<WriterState>();
    PyObject* write = nullptr;
    if (PyCallable_Check(target)) {
      write = target;
      state->call_sink.emplace(target);
      state->blocks.emplace(*state->call_sink);
    } else {
      auto path = owned_path("target", target);
      if (!path) return nullptr;
      state->path = std::move(*path);
      if (auto r = state->file.open(state->path, state->blocking); !r) {
        raise_file_error(CoreStep::Finish, r.error(), state->path);
        return nullptr;
      }
      state->blocks.emplace(state->file.sink());
    }
    state->encoder.emplace(*state->blocks, Limits{});
    if (dedup) state->encoder->enable_dedup();
    return stream_alloc(type, write, std::move(state));
  });
}

// The writer's state for a method, or nullptr with RuntimeError set.
WriterState* open_state(WriterObject* obj) {
  if (!obj->state) PyErr_SetString(PyExc_RuntimeError, "writer already closed");
  return obj->state.get();
}

// Takes what the tuvax package's encode takes: tuples, list, tuple and dict
// subclasses, and `default` (None or a callable) for anything else.
PyObject* writer_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* names[] = {"obj", "default", nullptr};
    PyObject* obj_arg = nullptr;
    PyObject* default_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:encode", const_cast<char**>(names), &obj_arg, &default_arg))
      return nullptr;
    auto default_fn = arg_callable_or_none("default", default_arg);
    if (!default_fn) return nullptr;
    WriterObject* obj = as_writer(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.taken()) return nullptr;
    WriterState* state = open_state(obj);
    if (state == nullptr) return nullptr;
    if (encode_into(*state->encoder, obj_arg, {.generous = true, .default_fn = *default_fn})) Py_RETURN_NONE;
    // A value the encoder refused leaves the document as it was, and so
    // does a block that could not be written but was taken back from the
    // file; one that could not be taken back leaves no document to go on
    // with.
    if (state->encoder->stream_error()) obj->state.reset();
    return nullptr;
  });
}

PyObject* writer_finish(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    WriterObject* obj = as_writer(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.taken()) return nullptr;
    WriterState* state = open_state(obj);
    if (state == nullptr) return nullptr;
    Result<void> r = state->encoder->finish_stream();
    // The last block or the trailer, taken back from the file it could not
    // be written to, leaves the writer open with every value: finish()
    // tries again, abort() gives up. Anything else finishes it.
    const bool open = !r && !state->encoder->stream_error();
    if (r && !state->path.empty()) r = state->file.commit();
    std::unique_ptr<WriterState> taken = open ? nullptr : std::move(obj->state);
    if (!r) {
      raise_file_error(CoreStep::Finish, r.error(), state->path);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* writer_abort(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    WriterObject* obj = as_writer(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.taken()) return nullptr;
    obj->state.reset();  // a temporary file is removed; the target is untouched
    Py_RETURN_NONE;
  });
}

PyObject* writer_closed(PyObject* self, void*) { return PyBool_FromLong(!as_writer(self)->state); }

PyGetSetDef writer_getset[] = {
    {"closed", writer_closed, nullptr, "Whether the document is finished or abandoned.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef writer_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_encode)), METH_VARARGS | METH_KEYWORDS,
     "encode($self, /, obj, default=None)\n--\n\nAppend one top-level value, as the tuvax package's encode takes it."},
    {"finish", writer_finish, METH_NOARGS,
     "finish($self)\n--\n\nClose the last block, write the trailer and, for a path, replace the file."},
    {"abort", writer_abort, METH_NOARGS,
     "abort($self)\n--\n\nDrop the document: a file being written is removed, its target left as it was."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc<WriterState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse<WriterState>)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear<WriterState>)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    .name = "_tuvax_native._Writer",
    .basicsize = sizeof(WriterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = writer_slots,
};

// ---- _Reader ----

struct ReaderState {
  GilBlocking blocking;
  std::string path;
  InputFile file;
  std::optional<FdSource> fd_source;
  std::optional<CallSource> call_source;
  std::optional<Decoder> decoder;
  ValueStream values;
};

using ReaderObject = StreamObject<ReaderState>;
ReaderObject* as_reader(PyObject* self) noexcept { return as_stream<ReaderState>(self); }

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* names[] = {"source", nullptr};
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_Reader", const_cast<char**>(names), &source)) return nullptr;
    auto state = std::make_unique<ReaderState>();
    PyObject* read = nullptr;
    if (PyCallable_Check(source)) {
      read = source;
      state->call_source.emplace(source);
      state->decoder.emplace(*state->call_source);
    } else {
      auto path = owned_path("source", source);
      if (!path) return nullptr;
      state->path = std::move(*path);
      if (auto r = state->file.open(state->path, state->blocking); !r) {
        raise_file_error(CoreStep::Decode, r.error(), state->path);
        return nullptr;
      }
      state->fd_source.emplace(state->file.fd(), state->blocking);
      state->decoder.emplace(*state->fd_source);
    }
    return stream_alloc(type, read, std::move(state));
  });
}

PyObject* reader_iternext(PyObject* self) {
  return guard([&]() -> PyObject* {
    ReaderObject* obj = as_reader(self);
    BorrowGuard borrow(obj->busy);
    if (!borrow.taken()) return nullptr;
    ReaderState& state = *obj->state;
    PyRef item;
    const int r = state.values.next(*state.decoder, item, state.path);
    if (r < 0) return nullptr;
    if (r == 0) PyErr_SetNone(PyExc_StopIteration);  // only once the trailer verified
    return item.release();
  });
}

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc<ReaderState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse<ReaderState>)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear<ReaderState>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    .name = "_tuvax_native._Reader",
    .basicsize = sizeof(ReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = reader_slots,
};

// ---- _blocks ----

const char* block_name(BlockType t) noexcept {
  switch (t) {
    case BlockType::Data: return "data";
    case BlockType::Reserved2: return "reserved-2";
    case BlockType::Reserved3: return "reserved-3";
    case BlockType::StringDict: return "string-dict";
    case BlockType::Trailer: return "trailer";
  }
  return "?";
}

// _blocks(data) -> (reserved byte or None, [(index, offset, name, compression,
// payload length, dictionary entries or None)], end offset or None, error or
// None, name of the block the error happened in or None): the framing of the
// document in `data` as the decoder reads it, every block verified, up to the
// first error, which is returned rather than raised so that a tool can show
// the blocks before it. The reserved byte is given once the header verified.
PyObject* blocks(PyObject*, PyObject* arg) {
  return guard([&]() -> PyObject* {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    struct Release {
      Py_buffer* v;
      ~Release() { PyBuffer_Release(v); }
    } release{&view};
    SpanSource source({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
    BlockReader reader(source, Limits{});
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    PyRef error = PyRef::borrow(Py_None);
    bool header_verified = false;
    const char* failed_in = nullptr;
    for (;;) {
      auto block = reader.next();
      if (!block) {
        if (const auto& where = block.error().block()) {
          header_verified = true;
          // The reader refuses a block with an unknown type byte first.
          if (where->offset < static_cast<std::uint64_t>(view.len) &&
              block.error().kind() != ErrorKind::InvalidBlockType)
            failed_in = block_name(static_cast<BlockType>(static_cast<const std::uint8_t*>(view.buf)[where->offset]));
        }
        raise_core_error(CoreStep::Decode, block.error());
        error = PyRef::steal(PyErr_GetRaisedException());
        if (!error) return nullptr;
        break;
      }
      PyRef entries = PyRef::borrow(Py_None);
      if (block->type == BlockType::StringDict) {
        if (auto n = decode_varint(block->payload.data(), block->payload.size(), 0))
          entries = PyRef::steal(PyLong_FromUnsignedLongLong(n->value));
        if (!entries) return nullptr;
      }
      PyRef item = PyRef::steal(Py_BuildValue("(KKsBnO)", static_cast<unsigned long long>(block->index),
                                              static_cast<unsigned long long>(block->offset),
                                              block_name(block->type), block->compression,
                                              static_cast<Py_ssize_t>(block->payload.size()), entries.get()));
      if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
      header_verified = true;
      if (block->type == BlockType::Trailer) break;
    }
    PyRef reserved =
        header_verified ? PyRef::steal(PyLong_FromLong(reader.reserved_byte())) : PyRef::borrow(Py_None);
    PyRef end = reader.finished() ? PyRef::steal(PyLong_FromUnsignedLongLong(reader.end())) : PyRef::borrow(Py_None);
    PyRef failed = failed_in != nullptr ? PyRef::steal(PyUnicode_FromString(failed_in)) : PyRef::borrow(Py_None);
    if (!reserved || !end || !failed) return nullptr;
    return PyTuple_Pack(5, reserved.get(), list.get(), end.get(), error.get(), failed.get());
  });
}

// _replace_file(path, chunks): the bytes-like objects that `chunks` yields,
// one after another, as the new contents of the file at `path`, through the
// same atomic replacement as every file the module writes. An exception from
// the iterable, or a failed write, leaves the target as it was.
PyObject* replace_file_from(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    PyObject* target = nullptr;
    PyObject* iterable = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_replace_file", &target, &iterable)) return nullptr;
    PyRef holder;
    auto path_arg = arg_path("path", target, holder);
    if (!path_arg) return nullptr;
    const std::string path(*path_arg);
    PyRef chunks = PyRef::steal(PyObject_GetIter(iterable));
    if (!chunks) return nullptr;
    GilBlocking blocking;
    AtomicFile file;
    Result<void> r = file.open(path, blocking);
    while (r) {
      PyRef chunk = PyRef::steal(PyIter_Next(chunks.get()));
      if (!chunk) {
        if (PyErr_Occurred()) return nullptr;  // the file is abandoned
        r = file.commit();
        break;
      }
      Py_buffer view;
      if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) != 0) return nullptr;
      r = file.sink().write({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
      PyBuffer_Release(&view);
    }
    if (!r) {
      raise_file_error(CoreStep::Finish, r.error(), path);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef private_functions[] = {
    {"_blocks", blocks, METH_O, "_blocks(data)\n--\n\nThe verified framing of a document, for tools."},
    {"_replace_file", replace_file_from, METH_VARARGS,
     "_replace_file(path, chunks)\n--\n\nThe chunks as the new contents of the file, replaced atomically."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* writer_type() noexcept {
  static PyMutex mutex{};
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(create_once(mutex, type, [] { return PyType_FromSpec(&writer_spec); }));
}

PyTypeObject* reader_type() noexcept {
  static PyMutex mutex{};
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(create_once(mutex, type, [] { return PyType_FromSpec(&reader_spec); }));
}

bool add_private_names(PyObject* module) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  for (PyMethodDef* def = private_functions; def->ml_name != nullptr; ++def) {
    PyRef func = PyRef::steal(PyCFunction_NewEx(def, module, name.get()));
    if (!func || PyModule_AddObjectRef(module, def->ml_name, func.get()) != 0) return false;
  }
  PyTypeObject* w = writer_type();
  PyTypeObject* r = reader_type();
  return w != nullptr && r != nullptr &&
         PyModule_AddObjectRef(module, "_Writer", reinterpret_cast<PyObject*>(w)) == 0 &&
         PyModule_AddObjectRef(module, "_Reader", reinterpret_cast<PyObject*>(r)) == 0;
}

}  // namespace tuvax::py
