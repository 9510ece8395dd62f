// The one walk over Python objects: every writer of Python data (the binary
// encoder, the text printer) is a sink fed by it, so they share one type
// dispatch, one set of TypeError texts and one answer to containers that
// change while they are walked.
#ifndef TUVAX_PY_WALK_HPP
#define TUVAX_PY_WALK_HPP

#include "python.hpp"

#include <concepts>  // std::derived_from
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dict_items.hpp"
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
  // Anything the walk does not take passes without a word: a second walk
  // that only looks for conversion errors, and must not call the hook again.
  bool lenient = false;

  // The mode of that second walk: the hook had its one call per object, and
  // what it would have been given passes.
  WalkMode without_hook() const noexcept { return {generous, nullptr, default_fn != nullptr}; }
};

// What one walk may do, and where it stopped. Every sink is one (a public
// base), so the walk reaches it without a parameter of its own.
class WalkState {
 public:
  // Whether the walk holds its members strongly: Holding<Sink> does.
  static constexpr bool holds_members = false;

  void set_mode(WalkMode mode) noexcept { mode_ = mode; }
  const WalkMode& mode() const noexcept { return mode_; }

  // On the way back from where the walk stopped: the member it stopped in.
  void stopped_at_key(PyObject* key);
  void stopped_at_index(Py_ssize_t index);
  // The dict member that PyDict_Next last gave at `pos`, read again.
  void stopped_at_entry(PyObject* dict, Py_ssize_t pos);
  // The steps from the top-level value down to where the walk stopped.
  std::vector<PathStep> stop_path() const;

  // The walk met Python code it cannot run while it holds its members
  // borrowed (the default hook, a dict subclass's own items()): it stopped
  // before running it, and the caller walks again with Holding<Sink>.
  void need_holding() noexcept { needs_holding_ = true; }
  bool needs_holding() const noexcept { return needs_holding_; }

 private:
  WalkMode mode_;
  std::vector<PathStep> stopped_at_;  // innermost step first
  bool needs_holding_ = false;
};

// A sink whose walk holds every member strongly, so that Python code run
// during it (a default hook, items()) may change the containers being
// walked without freeing what the walk still reads. Two reference-count
// writes per member: only for walks that run Python code.
template <class S>
struct Holding : S {
  using S::S;
  static constexpr bool holds_members = true;
};

[[gnu::noinline, gnu::cold]] inline void WalkState::stopped_at_key(PyObject* key) {
  stopped_at_.push_back({PyRef::borrow(key), 0});
}

[[gnu::noinline, gnu::cold]] inline void WalkState::stopped_at_index(Py_ssize_t index) {
  stopped_at_.push_back({PyRef{}, index});
}

[[gnu::noinline, gnu::cold]] inline void WalkState::stopped_at_entry(PyObject* dict, Py_ssize_t pos) {
  // PyDict_Next leaves `pos` one past the entry it gave; from there back it
  // finds that entry again (or, should a hook have removed it, the next).
  Py_ssize_t at = pos - 1;
  PyObject* key = nullptr;
  if (PyDict_Next(dict, &at, &key, nullptr)) stopped_at_key(key);
}

[[gnu::noinline, gnu::cold]] inline std::vector<PathStep> WalkState::stop_path() const {
  std::vector<PathStep> steps;
  steps.reserve(stopped_at_.size());
  for (auto it = stopped_at_.rbegin(); it != stopped_at_.rend(); ++it) {
    steps.push_back({PyRef::borrow(it->key.get()), it->index});
  }
  return steps;
}

// A sink receives one event per value, in document order; containers come
// with the object itself, so that a sink can look ahead at its members.
// Every event returns false only with a Python exception set; a sink that
// meets an error of its own (a core limit, say) records it and keeps
// returning true, so that the walk still reports any conversion error
// (TypeError, OverflowError, RecursionError) that lies further on: those
// come first, whatever the sink thought of the data. (locate_py finds the
// value such an error was about, afterwards.)
template <class S>
concept PySink = std::derived_from<S, WalkState> &&
                 requires(S& s, std::string_view v, std::span<const std::uint8_t> raw, bool f, std::uint64_t u,
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
// With the GIL nothing else runs while a walk that runs no Python code
// does: it allocates no object the collector could act on, so the
// container's own reference keeps the member alive and the walk saves two
// reference-count writes per member. A walk that runs Python code holds
// its members (Holding<Sink>).
#ifdef Py_GIL_DISABLED
template <bool>
struct Member : PyRef {
  explicit Member(PyObject* p) noexcept : PyRef(PyRef::borrow(p)) {}
};
#else
template <bool Strong>
class Member {
 public:
  explicit Member(PyObject* p) noexcept : p_(p) {}
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_;
};
template <>
struct Member<true> : PyRef {
  explicit Member(PyObject* p) noexcept : PyRef(PyRef::borrow(p)) {}
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
  // nothing). There members are held strongly all the same (see Member),
  // because a nested section may suspend this one.
  Py_BEGIN_CRITICAL_SECTION(dict);
  const Py_ssize_t start_len = PyDict_GET_SIZE(dict);
  ok = sink.begin_object(dict, start_len);
  Py_ssize_t remaining = start_len;
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (ok && next_dict_item(dict, &pos, &k, &v)) {
    --remaining;
    Member<S::holds_members> key(k);
    Member<S::holds_members> value(v);
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
    if (!ok) {
      sink.stopped_at_entry(dict, pos);
      break;
    }
    if (PyDict_GET_SIZE(dict) != start_len) {
      raise_internal_failure("dictionary changed size during iteration");
      ok = false;
    } else if (remaining < 0) {
      raise_internal_failure("dictionary keys changed during iteration");
      ok = false;
    }
  }
  Py_END_CRITICAL_SECTION();
  return ok && sink.end_object();
}

// Inlined into walk() for exact lists, as it was before the generous walk
// (a list subclass there) gave it a second caller.
template <PySink S>
[[gnu::always_inline]] inline bool walk_list(S& sink, PyObject* list, unsigned depth) {
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
    Member<S::holds_members> item(i < PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, i) : nullptr);
#endif
    if (!item) {
      PyErr_Clear();
      raise_internal_failure("list changed size during iteration");
      ok = false;
      break;
    }
    ok = walk_member(sink, item.get(), depth + 1);
    if (!ok) sink.stopped_at_index(i);
  }
  if (ok && PyList_GET_SIZE(list) != len) {
    raise_internal_failure("list changed size during iteration");
    ok = false;
  }
  Py_END_CRITICAL_SECTION();
  return ok && sink.end_array();
}

// ---- The generous walk ----

// TypeError "cannot convert {name} to Tuvax value".
[[gnu::cold]] inline void raise_unsupported(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to Tuvax value", name.get());
}

// A tuple, or a tuple subclass such as a namedtuple: an array.
template <PySink S>
bool walk_tuple(S& sink, PyObject* tuple, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  const Py_ssize_t len = PyTuple_GET_SIZE(tuple);
  bool ok = sink.begin_array(tuple, len);
  for (Py_ssize_t i = 0; ok && i < len; ++i) {
    ok = walk(sink, PyTuple_GET_ITEM(tuple, i), depth + 1);
    if (!ok) sink.stopped_at_index(i);
  }
  return ok && sink.end_array();
}

// Whether items() of `mapping` is dict's or OrderedDict's own, which run no
// Python code (their views are iterated in C).
inline bool items_in_c(PyObject* mapping) {
  PyTypeObject* type = Py_TYPE(mapping);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  // A method defined in Python is a function; dict's and OrderedDict's are
  // method descriptors. Only the type's own attribute (no instance dict)
  // is looked at: a dict subclass instance's __dict__ is ignored by neither.
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(type), "items", &found) < 0) {
    PyErr_Clear();
    return false;
  }
  PyRef items = PyRef::steal(found);
  return items && Py_IS_TYPE(items.get(), &PyMethodDescr_Type);
}

// A dict subclass: its items() in its own order (an OrderedDict's may
// differ from the order of its storage), taken into a list of our own, so
// the pairs stay whatever the subclass does meanwhile. An items() written
// in Python needs a walk that holds its members: the walk stops, for the
// caller to walk again with one.
template <PySink S>
bool walk_mapping(S& sink, PyObject* mapping, unsigned depth) {
  RecursionGuard recursion(depth);
  if (!recursion.entered()) return false;
  if constexpr (!S::holds_members) {
    if (!items_in_c(mapping)) {
      sink.need_holding();
      return false;
    }
  }
  PyRef self = PyRef::borrow(mapping);
  PyRef items = PyRef::steal(PyMapping_Items(mapping));
  if (!items) return false;
  const Py_ssize_t len = PyList_GET_SIZE(items.get());
  bool ok = sink.begin_object(mapping, len);
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
    ok = sink.key(std::string_view(key_text, static_cast<std::size_t>(key_len))) &&
         walk(sink, PyTuple_GET_ITEM(pair, 1), depth + 1);
    if (!ok) sink.stopped_at_key(key);
  }
  return ok && sink.end_object();
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
  if constexpr (!S::holds_members) {
    sink.need_holding();
    return false;
  }
  PyRef current = PyRef::borrow(obj);
  for (int calls = 1;; ++calls) {
    PyRef result = PyRef::steal(PyObject_CallOneArg(sink.mode().default_fn, current.get()));
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

// Everything but the exact types and the scalar subclasses, out of the hot
// walk: subclasses of dict and list (TypeError in the strict walk), and in
// the generous walk tuples, then the default hook's answer; else TypeError.
template <PySink S>
[[gnu::noinline, gnu::cold]] bool walk_other(S& sink, PyObject* obj, unsigned depth) {
  PyTypeObject* type = Py_TYPE(obj);
  const WalkMode& mode = sink.mode();
  if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) {
    if (mode.generous) return walk_mapping(sink, obj, depth);
    raise_not_instance(obj, "dict");
    return false;
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) {
    if (mode.generous) return walk_list(sink, obj, depth);
    raise_not_instance(obj, "list");
    return false;
  }
  if (mode.generous && PyType_HasFeature(type, Py_TPFLAGS_TUPLE_SUBCLASS)) return walk_tuple(sink, obj, depth);
  if (mode.default_fn != nullptr) return walk_default(sink, obj, depth);
  if (mode.lenient) return true;
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
  return walk_other(sink, obj, depth);
}

}  // namespace detail

// Feeds `obj` (borrowed) and everything under it to `sink`, in the sink's
// WalkMode. True: the walk is complete. False with an exception set:
// TypeError for anything outside the data model (strictly: dicts and lists
// exact; dict keys str), OverflowError, UnicodeEncodeError, RecursionError,
// the default hook's own exception, each with the JSON path of its value as
// a note. False without one: the sink stopped it with an error of its own,
// at sink.stop_path().
template <PySink S>
[[nodiscard]] bool walk_py(S& sink, PyObject* obj) {
  if (detail::walk(sink, obj, 0)) return true;
  if (PyErr_Occurred()) add_path_note(sink.stop_path());
  return false;
}

// For a sink's own error, found after the walk: the steps from the
// top-level value down to where a walk of `obj` in `mode` (without a hook)
// meets `target`, a container as begin_array or begin_object get it, or
// the bytes of a str or bytes as str or bytes get them. None when it does
// not meet it (it was inside a default hook's answer).
struct Locator : WalkState {
  const void* target = nullptr;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool uint(std::uint64_t) { return true; }
  bool integer(std::int64_t) { return true; }
  bool real(double) { return true; }
  bool str(std::string_view s) { return s.data() != target; }
  bool bytes(std::span<const std::uint8_t> b) { return b.data() != target; }
  bool begin_array(PyObject* o, Py_ssize_t) { return o != target; }
  bool end_array() { return true; }
  bool begin_object(PyObject* o, Py_ssize_t) { return o != target; }
  bool key(std::string_view) { return true; }
  bool end_object() { return true; }
};

[[gnu::noinline, gnu::cold]] inline std::vector<PathStep> locate_py(PyObject* obj, const void* target,
                                                                   WalkMode mode) {
  Holding<Locator> locator;  // it may run a dict subclass's items()
  locator.set_mode(mode);
  locator.target = target;
  if (target == nullptr || detail::walk(locator, obj, 0)) return {};
  PyErr_Clear();  // nothing new: this walk has been made before
  return locator.stop_path();
}


}  // namespace tuvax::py

#endif  // TUVAX_PY_WALK_HPP
