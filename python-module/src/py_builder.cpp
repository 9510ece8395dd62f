#include "python.hpp"

#include "py_builder.hpp"

#include <algorithm>  // std::max
#include <cstring>    // std::memcmp, std::memcpy
#include <new>        // std::bad_alloc

#include <simdutf.h>

#include "errors.hpp"

namespace tuvax::py {
namespace {

// A scalar that cannot be created is a broken invariant (readers pass on
// valid UTF-8 only), unless memory ran out, which stays a MemoryError.
void scalar_failed() {
  if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
    raise_internal_failure("could not create a Python object for a decoded scalar");
  }
}

// Keys are at most max_cached_key bytes: their first and last eight bytes
// and their length tell them apart well enough for a cache slot.
std::size_t key_hash(std::string_view key) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(key.data());
  const std::size_t n = key.size();
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (n >= 8) {
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
  } else {
    for (std::size_t i = 0; i < n; ++i) head |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  }
  std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ n) * 0xFF51AFD7ED558CCDULL;
  return static_cast<std::size_t>(h ^ (h >> 29) ^ (h >> 47));
}

}  // namespace

ObjectBuilder::~ObjectBuilder() {
  clear();
  reset_shared();
  for (CachedKey& k : keys_) Py_XDECREF(k.str);
}

PyObject* ObjectBuilder::make_str(std::string_view s, bool ascii) {
  const char* p = s.data();
  const std::size_t n = s.size();
  if (!ascii) {
    // The reader validated the text, so the vectorised counting and
    // transcoding routines that trust their input apply. The widest byte
    // picks the str's kind: leads C2/C3 make characters up to U+00FF, C4 to
    // EF up to U+FFFF, F0 and above the rest.
    std::uint8_t widest = 0;
    for (std::size_t i = 0; i < n; ++i) widest = std::max(widest, static_cast<std::uint8_t>(p[i]));
    if (widest >= 0x80) {
      const auto chars = static_cast<Py_ssize_t>(simdutf::count_utf8(p, n));
      PyObject* obj = nullptr;
      if (widest >= 0xF0) {
        obj = PyUnicode_New(chars, 0x10FFFF);
        if (obj != nullptr) simdutf::convert_valid_utf8_to_utf32(p, n, reinterpret_cast<char32_t*>(PyUnicode_4BYTE_DATA(obj)));
      } else if (widest >= 0xC4) {
        // No character above U+FFFF, so UTF-16 is exactly the str's UCS-2.
        obj = PyUnicode_New(chars, 0xFFFF);
        if (obj != nullptr) simdutf::convert_valid_utf8_to_utf16(p, n, reinterpret_cast<char16_t*>(PyUnicode_2BYTE_DATA(obj)));
      } else {
        obj = PyUnicode_New(chars, 0xFF);
        if (obj != nullptr) simdutf::convert_valid_utf8_to_latin1(p, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(obj)));
      }
      return obj;
    }
  }
  PyObject* obj = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (obj != nullptr && n != 0) std::memcpy(PyUnicode_1BYTE_DATA(obj), p, n);
  return obj;
}

bool ObjectBuilder::put(PyObject* obj) {
  if (obj == nullptr) {
    scalar_failed();
    return false;
  }
  if (!frames_.empty()) {
    if (Frame& f = frames_.back(); f.dict != nullptr) {
      // A repeated key keeps its first position and takes the later value.
      const int r = PyDict_SetItem(f.dict, f.key, obj);
      Py_DECREF(obj);
      Py_CLEAR(f.key);
      return r == 0;
    }
  }
  try {
    pending_.push_back(obj);
  } catch (const std::bad_alloc&) {
    Py_DECREF(obj);
    throw;
  }
  return true;
}

bool ObjectBuilder::shared_str(std::string_view s, std::size_t index) {
  // One str object per table entry, made on its first reference: a shared
  // string is usually shared many times over.
  if (index >= shared_.size()) shared_.resize(std::max(index + 1, 2 * shared_.size()), nullptr);
  PyObject*& slot = shared_[index];
  if (slot == nullptr) {
    slot = make_str(s, false);
    if (slot == nullptr) {
      scalar_failed();
      return false;
    }
  }
  return put(Py_NewRef(slot));
}

void ObjectBuilder::reset_shared() noexcept {
  for (PyObject* p : shared_) Py_XDECREF(p);
  shared_.clear();
}

bool ObjectBuilder::begin_array(std::size_t) {
  frames_.push_back({nullptr, nullptr, pending_.size()});
  return true;
}

bool ObjectBuilder::end_array() {
  const std::size_t base = frames_.back().base;
  const std::size_t n = pending_.size() - base;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return false;  // take() or the destructor releases the members
  for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pending_[base + i]);  // steals
  pending_.resize(base);
  frames_.pop_back();
  return put(list);
}

bool ObjectBuilder::begin_object(std::size_t hint) {
  // Sized up front from a count the reader has bounded by its input, so a
  // forged count cannot make a large allocation.
  PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(hint));
  if (dict == nullptr) return false;
  try {
    frames_.push_back({dict, nullptr, 0});
  } catch (const std::bad_alloc&) {
    Py_DECREF(dict);
    throw;
  }
  return true;
}

bool ObjectBuilder::key(std::string_view s, bool ascii) {
  PyObject* k = key_object(s, ascii);
  if (k == nullptr) {
    scalar_failed();
    return false;
  }
  Py_XSETREF(frames_.back().key, k);
  return true;
}

bool ObjectBuilder::end_object() {
  const Frame f = frames_.back();
  frames_.pop_back();
  Py_XDECREF(f.key);
  return put(f.dict);
}

PyObject* ObjectBuilder::key_object(std::string_view key, bool ascii) {
  if (key.size() > max_cached_key) return make_str(key, ascii);
  CachedKey& slot = keys_[key_hash(key) & (cache_slots - 1)];
  if (slot.str != nullptr && slot.len == key.size() && std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
    return Py_NewRef(slot.str);
  }
  PyObject* s = make_str(key, ascii);
  if (s == nullptr) return nullptr;
  // Hashed once here, so every dict it goes into reuses the hash.
  if (PyObject_Hash(s) == -1) {
    Py_DECREF(s);
    return nullptr;
  }
  Py_XSETREF(slot.str, Py_NewRef(s));
  slot.len = static_cast<std::uint8_t>(key.size());
  if (!key.empty()) std::memcpy(slot.bytes, key.data(), key.size());
  return s;
}

void ObjectBuilder::clear() noexcept {
  for (const Frame& f : frames_) {
    Py_XDECREF(f.dict);
    Py_XDECREF(f.key);
  }
  frames_.clear();
  for (PyObject* p : pending_) Py_DECREF(p);
  pending_.clear();
}

PyRef ObjectBuilder::take() {
  PyObject* obj = nullptr;
  if (frames_.empty() && pending_.size() == 1) {
    obj = pending_.back();
    pending_.pop_back();
  }
  clear();
  return PyRef::steal(obj);
}

}  // namespace tuvax::py
