#include "python.hpp"

#include "document.hpp"

#include <cstddef>  // offsetof
#include <cstdint>
#include <utility>

#include "errors.hpp"
#include "tuvax/detail/buffer.hpp"  // advise_huge_pages
#include "py_builder.hpp"
#include "py_walk.hpp"

namespace tuvax::py {
namespace {

// Feeds the walk of Python objects to the core's push writer. A core error
// (a limit) is kept, with what it was about, and the walk goes on writing
// nothing, so that a conversion error further on is still the one raised.
class WireSink : public WalkState {
 public:
  explicit WireSink(Encoder::ValueWriter& w) noexcept : w_(w) {}

  bool null() {
    if (ok()) w_.null();
    return true;
  }
  bool boolean(bool b) {
    if (ok()) w_.boolean(b);
    return true;
  }
  bool uint(std::uint64_t u) {
    if (ok()) w_.uint(u);
    return true;
  }
  bool integer(std::int64_t i) {
    if (ok()) w_.integer(i);
    return true;
  }
  bool real(double d) {
    if (ok()) w_.real(d);
    return true;
  }
  bool str(std::string_view s) { return keep(ok() ? w_.str(s) : Result<void>(), s.data()); }
  bool bytes(std::span<const std::uint8_t> b) { return keep(ok() ? w_.bytes(b) : Result<void>(), b.data()); }
  bool begin_array(PyObject* o, Py_ssize_t n) {
    return keep(ok() ? w_.begin_array(static_cast<std::uint64_t>(n)) : Result<void>(), o);
  }
  bool end_array() {
    if (ok()) w_.end_array();
    return true;
  }
  bool begin_object(PyObject* o, Py_ssize_t n) {
    return keep(ok() ? w_.begin_object(static_cast<std::uint64_t>(n)) : Result<void>(), o);
  }
  bool key(std::string_view k) {
    if (ok()) w_.key(k);
    return true;
  }
  bool end_object() {
    if (ok()) w_.end_object();
    return true;
  }

  // After a walk of `obj` without a Python exception: commits the value, or
  // raises the first core error, noted with the JSON path of its value and
  // a hint at the way around the limit.
  bool finish(PyObject* obj) {
    if (ok()) {
      if (auto r = w_.commit(); !r) error_ = std::move(r).error();  // the whole value
    }
    if (ok()) return true;
    auto path = locate_py(obj, error_at_, mode().without_hook());
    raise_file_error(CoreStep::Encode, *error_, {});  // a streamed block may fail to be written
    add_path_note(path);
    add_limit_hint(*error_);
    return false;
  }

 private:
  bool ok() const noexcept { return !error_.has_value(); }
  // `at`: the container, or the string's bytes, the event was given.
  bool keep(Result<void> r, const void* at) {
    if (!r) {
      error_ = std::move(r).error();
      error_at_ = at;
    }
    return true;
  }

  Encoder::ValueWriter& w_;
  std::optional<TuvaxError> error_;
  const void* error_at_ = nullptr;
};

// Accepts everything: a walk with it only raises conversion errors.
struct CheckSink : WalkState {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool uint(std::uint64_t) { return true; }
  bool integer(std::int64_t) { return true; }
  bool real(double) { return true; }
  bool str(std::string_view) { return true; }
  bool bytes(std::span<const std::uint8_t>) { return true; }
  bool begin_array(PyObject*, Py_ssize_t) { return true; }
  bool end_array() { return true; }
  bool begin_object(PyObject*, Py_ssize_t) { return true; }
  bool key(std::string_view) { return true; }
  bool end_object() { return true; }
};

}  // namespace

namespace {

// One walk into a writer of its own, which rolls back unless committed.
// `again`: the walk met Python code it cannot run with Sink, and wrote
// nothing.
template <class Sink>
bool encode_walk(Encoder& encoder, PyObject* obj, WalkMode mode, bool& again) {
  Encoder::ValueWriter w = encoder.begin_value();
  Sink sink(w);
  sink.set_mode(mode);
  if (walk_py(sink, obj)) return sink.finish(obj);
  again = sink.needs_holding();
  return false;
}

}  // namespace

bool encode_into(Encoder& encoder, PyObject* obj, WalkMode mode) {
  // Borrowing, until the walk is about to run Python code (the default
  // hook, a dict subclass's own items()): then it starts again holding what
  // it walks, the hook not yet called. A hook that is given but never
  // needed costs nothing.
  bool again = false;
  const bool done = encode_walk<WireSink>(encoder, obj, mode, again);
  if (!again) return done;
  return encode_walk<Holding<WireSink>>(encoder, obj, mode, again);
}

bool check_convertible(PyObject* obj, WalkMode mode) {
  Holding<CheckSink> sink;  // not fast, only safe: it may run a hook
  sink.set_mode(mode);
  return walk_py(sink, obj);
}

std::optional<std::vector<std::uint8_t>> document_bytes(Encoder& encoder) {
  auto size = encoder.complete();
  if (!size) {
    raise_core_error(CoreStep::Finish, size.error());
    return std::nullopt;
  }
  try {
    std::vector<std::uint8_t> out(*size);
    encoder.copy_out(out);
    return out;
  } catch (...) {
    encoder.reopen();
    throw;
  }
}

namespace {

// A bytes object's memory: the object's fields, its bytes, and the NUL
// every bytes object ends with.
constexpr std::size_t bytes_head = offsetof(PyBytesObject, ob_sval);

// What the object allocator serves from its own pools.
constexpr std::size_t small_object_size = 512;

// Lends the encoder's data blocks memory laid out as a bytes object's, so
// that the finished document becomes one where it stands. PyObject_Realloc,
// unlike _PyBytes_Resize, keeps the memory when it cannot be grown. Called
// with the GIL held: encoders in lent memory are used and destroyed only
// under it.
class BytesMemory final : public BufferMemory {
 public:
  void* resize(void* p, std::size_t n) noexcept override {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) - bytes_head - 1) return nullptr;
    char* const old = p == nullptr ? nullptr : static_cast<char*>(p) - bytes_head;
    auto* base = static_cast<char*>(PyObject_Realloc(old, bytes_head + n + 1));
    if (base == nullptr) return nullptr;
    // A large block here is a whole document, about to be copied into
    // fresh memory (a growing block leaves lent memory before it is that
    // large) while the blocks' memory is given back: huge pages spare a
    // fault per 4 KiB, and only the ends they leave are made resident at
    // once, lest the document be held twice after all.
    if (p == nullptr) tuvax::detail::advise_huge_pages_lazily(base + bytes_head, n);
    return base + bytes_head;
  }
  void free(void* p) noexcept override { PyObject_Free(static_cast<char*>(p) - bytes_head); }
};

BytesMemory bytes_memory_instance;

// The bytes object made of `doc`, memory from BytesMemory that the caller
// hands over: trimmed to its size, then given the fields
// PyBytes_FromStringAndSize gives the memory it allocates itself.
PyObject* bytes_from_lent(std::span<std::uint8_t> doc) noexcept {
  char* base = reinterpret_cast<char*>(doc.data()) - bytes_head;
  if (void* trimmed = PyObject_Realloc(base, bytes_head + doc.size() + 1)) base = static_cast<char*>(trimmed);
  auto* bytes = reinterpret_cast<PyBytesObject*>(base);
  (void)PyObject_InitVar(reinterpret_cast<PyVarObject*>(bytes), &PyBytes_Type, static_cast<Py_ssize_t>(doc.size()));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  bytes->ob_shash = -1;  // not hashed yet
#pragma GCC diagnostic pop
  bytes->ob_sval[doc.size()] = '\0';
  return reinterpret_cast<PyObject*>(bytes);
}

}  // namespace

BufferMemory& bytes_memory() noexcept { return bytes_memory_instance; }

PyRef finish_to_bytes(Encoder& encoder) {
  // An encoder of its own memory copies the document once into a new bytes
  // object; one in lent memory hands over its last block's.
  if (encoder.memory() == &bytes_memory_instance) {
    auto doc = encoder.finish_in_place();
    if (!doc) {
      raise_core_error(CoreStep::Finish, doc.error());
      return {};
    }
    // A small document goes where the object allocator keeps small objects,
    // copied, rather than stay in a trimmed piece of the C heap.
    if (bytes_head + doc->size() + 1 <= small_object_size) {
      if (PyObject* copy = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(doc->data()),
                                                     static_cast<Py_ssize_t>(doc->size()))) {
        bytes_memory_instance.free(doc->data());
        return PyRef::steal(copy);
      }
      PyErr_Clear();  // it stays where it is, then
    }
    return PyRef::steal(bytes_from_lent(*doc));
  }
  auto size = encoder.complete();
  if (!size) {
    raise_core_error(CoreStep::Finish, size.error());
    return {};
  }
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
  if (!bytes) {
    encoder.reopen();
    return bytes;
  }
  // A large document lands in fresh memory: huge pages spare a fault per
  // 4 KiB while it is copied in.
  tuvax::detail::advise_huge_pages(PyBytes_AS_STRING(bytes.get()), *size);
  encoder.copy_out({reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), *size});
  return bytes;
}

std::optional<std::vector<std::uint8_t>> encode_document(PyObject* obj, WalkMode mode) {
  Encoder encoder;
  if (!encode_into(encoder, obj, mode)) return std::nullopt;
  return document_bytes(encoder);
}

PyRef encode_to_bytes(PyObject* obj, WalkMode mode) {
  Encoder encoder(Limits{}, bytes_memory());
  if (!encode_into(encoder, obj, mode)) return {};
  return finish_to_bytes(encoder);
}

std::optional<std::vector<PyRef>> decode_document(std::span<const std::uint8_t> data) {
  Decoder decoder(data);
  return decode_all(decoder);
}

std::optional<std::vector<PyRef>> decode_all(Decoder& decoder, std::string_view path) {
  ValueStream values;
  std::vector<PyRef> items;
  for (;;) {
    PyRef obj;
    const int r = values.next(decoder, obj, path);
    if (r < 0) return std::nullopt;
    if (r == 0) return items;
    items.push_back(std::move(obj));
  }
}

namespace {

// The class name of the pending exception.
std::string pending_name() {
  PyObject* exc = PyErr_GetRaisedException();
  std::string name = "failure";
  if (exc != nullptr) {
    if (PyRef qual = PyRef::steal(PyType_GetName(Py_TYPE(exc)))) {
      if (const char* utf8 = PyUnicode_AsUTF8(qual.get())) name = utf8;
    }
    PyErr_Clear();  // a failure to name it must not replace it
    PyErr_SetRaisedException(exc);
  }
  return name;
}

}  // namespace

ValueStream::ValueStream() noexcept = default;
ValueStream::~ValueStream() = default;

void ValueStream::stop_by_pending() { stopped_by_ = pending_name(); }

int ValueStream::next(Decoder& decoder, PyRef& out, std::string_view path) {
  if (!stopped_by_.empty()) {
    PyErr_Format(PyExc_RuntimeError, "decoder stopped by an earlier %s", stopped_by_.c_str());
    return -1;
  }
  stopped_by_ = "interrupted call";  // stays if a C++ exception leaves below
  try {
    if (!builder_) builder_ = std::make_unique<ObjectBuilder>();
    auto step = decoder.decode_next(*builder_);
    if (!step) {
      (void)builder_->take();  // drops what the failed value left
      raise_file_error(CoreStep::Decode, step.error(), path);
      stopped_by_.clear();  // the decoder repeats an input error itself
      return -1;
    }
    if (*step != DecodeStep::stopped) {
      stopped_by_.clear();
      if (*step == DecodeStep::end) return 0;
      out = builder_->take();
      return 1;
    }
    (void)builder_->take();
    // The builder stops only with its exception set; a decoder stopped
    // earlier has none, and must not be mistaken for the end.
    if (!PyErr_Occurred()) raise_internal_failure("a value builder stopped without an exception");
  } catch (const std::bad_alloc&) {
    stopped_by_ = "MemoryError";
    throw;  // the entry guard raises it
  } catch (...) {
    stopped_by_ = "internal error";
    throw;
  }
  stop_by_pending();
  return -1;
}

PyRef list_of(std::vector<PyRef>&& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());  // steals
  }
  items.clear();
  return list;
}

PyRef single_or_list(std::vector<PyRef>&& items) {
  if (items.size() == 1) return std::move(items.front());
  return list_of(std::move(items));
}

PyRef bytes_of(std::span<const std::uint8_t> data) {
  return PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

}  // namespace tuvax::py
