// The one walk over Python objects: every writer of Python data (the binary
// encoder, the text printer) is a sink fed by it, so they share one type
// dispatch, one set of TypeError texts and one answer to containers that
// change while they are walked.
#ifndef TUVAX_PY_WALK_HPP
#define TUVAX_PY_WALK_HPP

#include "python.hpp"

#include <cstdint>
#include <span>
#include <string_view>

#include "errors.hpp"
#include "pyref.hpp"

namespace tuvax::py {

// A sink receives one event per value, in document order; containers come
// with the object itself, so that a sink can look ahead at its members.
// Every event returns false only with a Python exception set; a sink that
// meets an error of its own (a core limit, say) records it and keeps
// returning true, so that the walk still reports any conversion error
// (TypeError, OverflowError, RecursionError) that lies further on: those
// come first, whatever the sink thought of the data.
template <class S>
concept PySink = requires(S& s, std::string_view v, std::span<const std::uint8_t> raw, bool f, std::uint64_t u,
                          std::int64_t i, double d, PyObject* o, Py_ssize_t n) {
  { s.null() } -> std::same_as<bool>;
  { s.boolean(f) } -> std::same_as<bool>;
  { s.uint(u) } -> std::same_as<bool>;
  { s.integer(i) } -> std::same_as<bool>;
  { s.real(d) } -> std::same_as<bool>;
  { s.str(v) } -> std::same_as<bool>;
  { s.bytes(raw) } -> std::same_as<bool>;
  { s.begin_array(o, n) } -> std::same_as<bool>;
  { s.end_array() } -> std::same_as<bool>;
  { s.begin_object(o, n) } -> std::same_as<bool>;
  { s.key(v) } -> std::same_as<bool>;
  { s.end_object() } -> std::same_as<bool>;
};

namespace detail {

// The interpreter's recursion guard measures the C stack that is left. Every
// sixteenth level of nesting consults it: a few kilobytes of stack between
// checks at most, and most documents never pay for the call.
inline constexpr unsigned guard_every = 16;

// Py_EnterRecursiveCall with the matching leave on every path, C++
// exceptions included: self-containing data ends in RecursionError.
class RecursionGuard {
 public:
  explicit RecursionGuard(unsigned depth) noexcept
      : counted_(depth % guard_every == 0),
        entered_(!counted_ || Py_EnterRecursiveCall(" while converting to a Tuvax value") == 0) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (counted_ && entered_) Py_LeaveRecursiveCall();
  }
  bool entered() const noexcept { return entered_; }

 private:
  bool counted_;
  bool entered_;
};

// A member of a container during the walk. Without the GIL another thread
// may drop it from its container at any time, so the walk holds it strongly.
// With the GIL nothing else runs while the walk does: it calls no Python
// code and allocates no object the collector could act on, so the
// container's own reference keeps the member alive and the walk saves two
// reference-count writes per member.
#ifdef Py_GIL_DISABLED
struct Item : PyRef {
  explicit Item(PyObject* p) noexcept : PyRef(PyRef::borrow(p)) {}
};
#else
class Item {
 public:
  explicit Item(PyObject* p) noexcept : p_(p) {}
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_;
};
#endif

// The text of a str without creating its UTF-8 cache where the object's own
// storage already is UTF-8 (ASCII); nullptr with an exception set for a str
// that cannot be UTF-8 (lone surrogates).
inline const char* str_utf8(PyObject* s, Py_ssize_t& size) {
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    size = PyUnicode_GET_LENGTH(s);
    return static_cast<const char*>(PyUnicode_DATA(s));
  }
  return PyUnicode_AsUTF8AndSize(s, &size);
}

// An int as the sink wants it: -2**63 to 2**64 - 1, else the interpreter's
// own OverflowError.
template <PySink S>
bool walk_int(S& sink, PyObject* obj) {
  if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return v < 0 ? sink.integer(v) : sink.uint(static_cast<std::uint64_t>(v));
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) return false;
    return v < 0 ? sink.integer(v) : sink.uint(static_cast<std::uint64_t>(v));
  }
  if (overflow > 0) {
    // 2**63 to 2**64 - 1 still fit an unsigned integer.
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    return sink.uint(u);
  }
  (void)PyLong_AsLongLong(obj);  // below -2**63: raises the interpreter's OverflowError
  return false;
}

template <PySink S>
bool walk(S& sink, PyObject* obj, unsigned depth);

// A member of a container: the scalars most documents are made of are
// written here, in the container's own loop, and only containers and the
// rarer types pay for the call into walk().
template <PySink S>
[[gnu::always_inline]] inline bool walk_member(S& sink, PyObject* obj, unsigned depth) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyFloat_Type) return sink.real(PyFloat_AS_DOUBLE(obj));
  if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return v < 0 ? sink.integer(v) : sink.uint(static_cast<std::uint64_t>(v));
  }
  if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj)) {
    return sink.str(std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))));
  }
  if (obj == Py_None) return sink.null();
  return walk(sink, obj, depth);
}

template <PySink S>
bool walk_dict(S& sink, PyObject* dict, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  bool ok = true;
  // A critical section per container: on a free-threaded interpreter no
  // other thread changes the dict while it is walked (with the GIL this is
  // nothing). There members are held strongly all the same (see Item),
  // because a nested section may suspend this one.
  Py_BEGIN_CRITICAL_SECTION(dict);
  const Py_ssize_t start_len = PyDict_GET_SIZE(dict);
  ok = sink.begin_object(dict, start_len);
  Py_ssize_t remaining = start_len;
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (ok && PyDict_Next(dict, &pos, &k, &v)) {
    --remaining;
    Item key(k);
    Item value(v);
    Py_ssize_t key_len = 0;
    const char* key_text =
        PyUnicode_CheckExact(key.get()) || PyUnicode_Check(key.get()) ? str_utf8(key.get(), key_len) : nullptr;
    if (key_text == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "dict keys must be strings");
      ok = false;
      break;
    }
    ok = sink.key(std::string_view(key_text, static_cast<std::size_t>(key_len))) &&
         walk_member(sink, value.get(), depth + 1);
    if (ok && PyDict_GET_SIZE(dict) != start_len) {
      raise_internal_failure("dictionary changed size during iteration");
      ok = false;
    } else if (ok && remaining < 0) {
      raise_internal_failure("dictionary keys changed during iteration");
      ok = false;
    }
  }
  Py_END_CRITICAL_SECTION();
  return ok && sink.end_object();
}

template <PySink S>
bool walk_list(S& sink, PyObject* list, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  bool ok = true;
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t len = PyList_GET_SIZE(list);
  ok = sink.begin_array(list, len);
  for (Py_ssize_t i = 0; ok && i < len; ++i) {
    // A strong reference: the item must outlive its own walk whatever
    // happens to the list meanwhile. With the GIL the list cannot change
    // under this critical section, so the inline access is safe and saves a
    // call per item; without it, the checked accessor.
#ifdef Py_GIL_DISABLED
    PyRef item = PyRef::steal(PyList_GetItemRef(list, i));
#else
    Item item(i < PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, i) : nullptr);
#endif
    if (!item) {
      PyErr_Clear();
      raise_internal_failure("list changed size during iteration");
      ok = false;
      break;
    }
    ok = walk_member(sink, item.get(), depth + 1);
  }
  if (ok && PyList_GET_SIZE(list) != len) {
    raise_internal_failure("list changed size during iteration");
    ok = false;
  }
  Py_END_CRITICAL_SECTION();
  return ok && sink.end_array();
}

template <PySink S>
bool walk(S& sink, PyObject* obj, unsigned depth) {
  PyTypeObject* type = Py_TYPE(obj);
  // The common exact types first, then their subclasses.
  if (type == &PyUnicode_Type) {
    Py_ssize_t size = 0;
    const char* text = str_utf8(obj, size);
    return text != nullptr && sink.str(std::string_view(text, static_cast<std::size_t>(size)));
  }
  if (type == &PyLong_Type) return walk_int(sink, obj);
  if (type == &PyDict_Type) return walk_dict(sink, obj, depth);
  if (type == &PyList_Type) return walk_list(sink, obj, depth);
  if (type == &PyFloat_Type) return sink.real(PyFloat_AS_DOUBLE(obj));
  if (obj == Py_None) return sink.null();
  if (type == &PyBool_Type) return sink.boolean(obj == Py_True);
  if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) return walk_int(sink, obj);
  if (PyFloat_Check(obj)) {
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return false;
    return sink.real(d);
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    return text != nullptr && sink.str(std::string_view(text, static_cast<std::size_t>(size)));
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_BYTES_SUBCLASS)) {
    // The bytes stay alive: the caller holds obj for the whole call.
    return sink.bytes({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(obj))});
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) {
    raise_not_instance(obj, "dict");
    return false;
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) {
    raise_not_instance(obj, "list");
    return false;
  }
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to Tuvax value", name.get());
  return false;
}

}  // namespace detail

// Feeds `obj` (borrowed) and everything under it to `sink`. False with an
// exception set: TypeError for anything outside the data model (dicts and
// lists must be exact, dict keys str), OverflowError, UnicodeEncodeError,
// RecursionError, or the sink's own failure.
template <PySink S>
[[nodiscard]] bool walk_py(S& sink, PyObject* obj) {
  return detail::walk(sink, obj, 0);
}

}  // namespace tuvax::py

#endif  // TUVAX_PY_WALK_HPP
