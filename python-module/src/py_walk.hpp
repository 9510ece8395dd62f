// The one walk over Python objects: every writer of Python data (the binary
// encoder, the text printer) is a sink fed by it, so they share one type
// dispatch, one set of TypeError texts and one answer to containers that
// change while they are walked.
#ifndef TUVAX_PY_WALK_HPP
#define TUVAX_PY_WALK_HPP

#include "python.hpp"

#include <array>
#include <concepts>  // std::derived_from
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "pyref.hpp"

namespace tuvax::py {

// How far a walk goes beyond the data model. The module's own functions walk
// strictly; the package's generous walk also takes tuples and subclasses of
// list and tuple as arrays, any dict subclass as an object (in its own
// iteration order), and calls `default_fn` (may be nullptr; borrowed for the
// walk) with anything else, walking its result in its place.
struct WalkMode {
  bool generous = false;
  PyObject* default_fn = nullptr;
};

// What one walk may do, where it is, and where it failed. Every sink is one
// (a public base), so the walk reaches it without a parameter of its own.
class WalkState {
 public:
  void set_mode(WalkMode mode) noexcept { mode_ = mode; }
  bool generous() const noexcept { return mode_.generous; }
  PyObject* default_fn() const noexcept { return mode_.default_fn; }

  // The container the walk enters at `depth`, and the dict key whose value
  // it walks there: plain stores on the way down, nothing more.
  void enter(unsigned depth, PyObject* container) {
    Level& l = level(depth);
    l.container = container;
    l.key = nullptr;
  }
  void at_key(unsigned depth, PyObject* key) { level(depth).key = key; }

  // Before Python code runs inside the walk (a default hook, a dict
  // subclass's items()): holds every container the walk is in above
  // `depth`, and the keys it is at, until the walk ends. The code may drop
  // them from their containers, and the walk goes on reading them.
  void pin(unsigned depth);

  // From the failing value up to the top-level one, innermost step first:
  // written only on the way back from a failure.
  std::vector<PathStep> failed_at;       // where a Python exception was raised
  std::vector<PathStep> sink_failed_at;  // where the sink met its own first error

 private:
  struct Level {
    PyObject* container = nullptr;
    PyObject* key = nullptr;
    PyObject* pinned_container = nullptr;  // what pins_ holds of this level
    PyObject* pinned_key = nullptr;
  };
  // Levels deeper than this live in overflow_ (the walk goes deeper than
  // any writer's limit only to find conversion errors).
  static constexpr unsigned inline_levels = 64;
  Level& level(unsigned depth) {
    if (depth < inline_levels) return levels_[depth];
    if (overflow_.size() <= depth - inline_levels) overflow_.resize(depth - inline_levels + 1);
    return overflow_[depth - inline_levels];
  }

  WalkMode mode_;
  std::array<Level, inline_levels> levels_;
  std::vector<Level> overflow_;
  std::vector<PyRef> pins_;
};

inline void WalkState::pin(unsigned depth) {
  // A pinned object lives until the walk ends, so its address cannot come
  // back as another object's: equal pointers are the same object.
  for (unsigned d = 0; d < depth; ++d) {
    Level& l = level(d);
    if (l.container != l.pinned_container) {
      pins_.push_back(PyRef::borrow(l.container));
      l.pinned_container = l.container;
    }
    if (l.key != nullptr && l.key != l.pinned_key) {
      pins_.push_back(PyRef::borrow(l.key));
      l.pinned_key = l.key;
    }
  }
}

// A sink receives one event per value, in document order; containers come
// with the object itself, so that a sink can look ahead at its members.
// An event returns false with a Python exception set to end the walk. A
// sink that meets an error of its own (a core limit, say) records it and
// returns false once, without an exception: the walk notes where, and goes
// on, so that it still reports any conversion error (TypeError,
// OverflowError, RecursionError) that lies further on: those come first,
// whatever the sink thought of the data. After that the sink takes every
// event and returns true.
template <class S>
concept PySink = std::derived_from<S, WalkState> && requires(S& s, std::string_view v, std::span<const std::uint8_t> raw, bool f, std::uint64_t u,
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
// With the GIL nothing else runs while the walk does: the strict walk calls
// no Python code and allocates no object the collector could act on, so the
// container's own reference keeps the member alive and the walk saves two
// reference-count writes per member. (The generous walk pins what it is in
// before it runs Python code: WalkState::pin.)
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

// ---- After a failure ----

// A part of a container failed: notes the member's step on the trail of
// that failure. A Python exception ends the walk (false). The sink's own
// error does not (true): the container goes on, so that a conversion error
// further on still wins, and reports the failure upwards once it is done.
inline bool resume_after(WalkState& state, PyObject* key, Py_ssize_t index, bool& sink_failed) {
  auto& trail = PyErr_Occurred() ? state.failed_at : state.sink_failed_at;
  trail.push_back({PyRef::borrow(key), index});
  if (&trail == &state.failed_at) return false;
  sink_failed = true;
  return true;
}

// A container's own event failed: a Python exception ends the walk; the
// sink's own error is this container's, and its members are still walked.
inline bool own_failure(bool& sink_failed) noexcept {
  if (PyErr_Occurred()) return false;
  sink_failed = true;
  return true;
}

// TypeError "cannot convert {name} to Tuvax value".
inline void raise_unsupported(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to Tuvax value", name.get());
}

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
  bool sink_failed = false;
  sink.enter(depth, dict);
  Py_BEGIN_CRITICAL_SECTION(dict);
  const Py_ssize_t start_len = PyDict_GET_SIZE(dict);
  ok = sink.begin_object(dict, start_len) || own_failure(sink_failed);
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
    sink.at_key(depth, key.get());
    ok = sink.key(std::string_view(key_text, static_cast<std::size_t>(key_len))) &&
         walk_member(sink, value.get(), depth + 1);
    if (!ok) ok = resume_after(sink, key.get(), 0, sink_failed);
    if (ok && PyDict_GET_SIZE(dict) != start_len) {
      raise_internal_failure("dictionary changed size during iteration");
      ok = false;
    } else if (ok && remaining < 0) {
      raise_internal_failure("dictionary keys changed during iteration");
      ok = false;
    }
  }
  Py_END_CRITICAL_SECTION();
  return ok && !sink_failed && sink.end_object();
}

template <PySink S>
bool walk_list(S& sink, PyObject* list, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  bool ok = true;
  bool sink_failed = false;
  sink.enter(depth, list);
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t len = PyList_GET_SIZE(list);
  ok = sink.begin_array(list, len) || own_failure(sink_failed);
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
    ok = walk_member(sink, item.get(), depth + 1) || resume_after(sink, nullptr, i, sink_failed);
  }
  if (ok && PyList_GET_SIZE(list) != len) {
    raise_internal_failure("list changed size during iteration");
    ok = false;
  }
  Py_END_CRITICAL_SECTION();
  return ok && !sink_failed && sink.end_array();
}

// ---- The generous walk ----

// A tuple, or a tuple subclass such as a namedtuple: an array.
template <PySink S>
bool walk_tuple(S& sink, PyObject* tuple, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  bool sink_failed = false;
  sink.enter(depth, tuple);
  const Py_ssize_t len = PyTuple_GET_SIZE(tuple);
  bool ok = sink.begin_array(tuple, len) || own_failure(sink_failed);
  for (Py_ssize_t i = 0; ok && i < len; ++i) {
    ok = walk(sink, PyTuple_GET_ITEM(tuple, i), depth + 1) || resume_after(sink, nullptr, i, sink_failed);
  }
  return ok && !sink_failed && sink.end_array();
}

// A dict subclass: its items() in its own order (an OrderedDict's may
// differ from the order of its storage), taken into a list of our own, so
// the pairs stay whatever the subclass does meanwhile.
template <PySink S>
bool walk_mapping(S& sink, PyObject* mapping, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  sink.pin(depth);
  PyRef self = PyRef::borrow(mapping);
  PyRef items = PyRef::steal(PyMapping_Items(mapping));
  if (!items) return false;
  sink.enter(depth, mapping);  // its keys are held by `items`
  bool sink_failed = false;
  const Py_ssize_t len = PyList_GET_SIZE(items.get());
  bool ok = sink.begin_object(mapping, len) || own_failure(sink_failed);
  for (Py_ssize_t i = 0; ok && i < len; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(mapping)));
      if (name) PyErr_Format(PyExc_TypeError, "%U.items() must give (key, value) pairs", name.get());
      return false;
    }
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    Py_ssize_t key_len = 0;
    const char* key_text = PyUnicode_Check(key) ? str_utf8(key, key_len) : nullptr;
    if (key_text == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "dict keys must be strings");
      return false;
    }
    ok = (sink.key(std::string_view(key_text, static_cast<std::size_t>(key_len))) &&
          walk(sink, PyTuple_GET_ITEM(pair, 1), depth + 1)) ||
         resume_after(sink, key, 0, sink_failed);
  }
  return ok && !sink_failed && sink.end_object();
}

// What the generous walk takes without calling the default hook.
inline bool generous_type(PyObject* obj) noexcept {
  return obj == Py_None || PyLong_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) ||
         PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj);
}

// How many times in a row the default hook may return something it must
// be called with again.
inline constexpr int max_default_calls = 16;

// The default hook's answer for `obj`, walked in its place. An answer the
// walk does not take goes back to the hook, at most max_default_calls calls
// in all. The hook's exceptions pass unchanged.
template <PySink S>
bool walk_default(S& sink, PyObject* obj, unsigned depth) {
  sink.pin(depth);
  PyRef current = PyRef::borrow(obj);
  for (int calls = 1;; ++calls) {
    PyRef result = PyRef::steal(PyObject_CallOneArg(sink.default_fn(), current.get()));
    if (!result) return false;
    if (result.get() == current.get()) {
      PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(current.get())));
      if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to Tuvax value: default returned it unchanged", name.get());
      return false;
    }
    if (generous_type(result.get())) return walk(sink, result.get(), depth);
    if (calls == max_default_calls) {
      PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
      PyRef last = PyRef::steal(PyType_GetName(Py_TYPE(result.get())));
      if (name && last) {
        PyErr_Format(PyExc_TypeError,
                     "cannot convert %U to Tuvax value: default returned unsupported objects %d times in a row, "
                     "the last a %U",
                     name.get(), max_default_calls, last.get());
      }
      return false;
    }
    current = std::move(result);
  }
}

// The one way out of the strict data model: a tuple or the default hook's
// answer in the generous walk, else TypeError.
template <PySink S>
bool walk_other(S& sink, PyObject* obj, unsigned depth) {
  if (sink.generous() && PyTuple_Check(obj)) return walk_tuple(sink, obj, depth);
  if (sink.default_fn() != nullptr) return walk_default(sink, obj, depth);
  raise_unsupported(obj);
  return false;
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
    if (sink.generous()) return walk_mapping(sink, obj, depth);
    raise_not_instance(obj, "dict");
    return false;
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) {
    if (sink.generous()) return walk_list(sink, obj, depth);
    raise_not_instance(obj, "list");
    return false;
  }
  return walk_other(sink, obj, depth);
}

}  // namespace detail

// Feeds `obj` (borrowed) and everything under it to `sink`, in the sink's
// WalkMode. False with an exception set: TypeError for anything outside the
// data model (strictly: dicts and lists exact; dict keys str), OverflowError,
// UnicodeEncodeError, RecursionError, the default hook's own exception; the
// exception carries the JSON path of the value as a note. True once the
// walk is complete: the sink's own error, if it met one, is for the sink to
// raise, and sink_failed_at says where.
template <PySink S>
[[nodiscard]] bool walk_py(S& sink, PyObject* obj) {
  if (detail::walk(sink, obj, 0) || !PyErr_Occurred()) return true;
  add_path_note(sink.failed_at);
  return false;
}

}  // namespace tuvax::py

#endif  // TUVAX_PY_WALK_HPP
