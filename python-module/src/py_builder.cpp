#include "python.hpp"

#include "py_builder.hpp"

#include <algorithm>  // std::max
#include <cstring>    // std::memcpy
#include <new>        // std::bad_alloc
#include <utility>    // std::exchange

#include "errors.hpp"
#include "py_str.hpp"

namespace tuvax::py {
namespace {

// A scalar that cannot be created is a broken invariant (readers pass on
// valid UTF-8 only), unless memory ran out, which stays a MemoryError.
void scalar_failed() {
  if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
    raise_internal_failure("could not create a Python object for a decoded scalar");
  }
}

// Keys of up to 32 bytes are read as two to four words that may overlap
// but never leave the key: a library call per key would cost more than the
// whole lookup. A longer key's words are its first and last 16 bytes.
struct KeyWords {
  std::uint64_t w[4] = {0, 0, 0, 0};
};

std::uint64_t load64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

KeyWords key_words(std::string_view key) noexcept {
  const char* p = key.data();
  const std::size_t n = key.size();
  KeyWords k;
  if (n >= 16) {
    k.w[0] = load64(p), k.w[1] = load64(p + 8);
    k.w[2] = load64(p + n - 16), k.w[3] = load64(p + n - 8);
  } else if (n >= 8) {
    k.w[0] = load64(p), k.w[1] = load64(p + n - 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    k.w[0] = a | static_cast<std::uint64_t>(b) << 32;
  } else {
    for (std::size_t i = 0; i < n; ++i) k.w[0] |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  return k;
}

// Together with the length, the words determine the key, so equal words
// and lengths mean equal keys. Three independent products, summed: the
// lookup waits on this, so it is short. Its top bits mix every bit of the
// key; a slot index is taken from them.
std::uint64_t key_hash(const KeyWords& k, std::size_t n) noexcept {
  return (k.w[0] ^ n) * 0x9E3779B97F4A7C15ULL + k.w[1] * 0xC2B2AE3D27D4EB4FULL +
         (k.w[2] ^ (k.w[3] >> 1)) * 0x165667B19E3779F9ULL;
}

}  // namespace

ObjectBuilder::~ObjectBuilder() {
  clear();
  reset_shared();
  for (CachedKey& k : keys_) Py_XDECREF(k.str);
}

bool ObjectBuilder::put_failed() {
  scalar_failed();
  return false;
}

bool ObjectBuilder::add_rest(PyObject* obj) {
  if (frames_.empty()) {
    Py_XSETREF(result_, obj);
    return true;
  }
  Frame& f = frames_.back();
  if (f.list) {
    // A list past the room it was made with (any list, without the GIL)
    // grows as any list does.
    const int r = PyList_Append(f.obj, obj);
    Py_DECREF(obj);
    return r == 0;
  }
  // A repeated key keeps its first position and takes the later value.
  const int r = PyDict_SetItem(f.obj, f.key, obj);
  Py_DECREF(obj);
  Py_CLEAR(f.key);
  return r == 0;
}

bool ObjectBuilder::push_frame(PyObject* obj, bool list) {
  if (obj == nullptr) return false;
  try {
    frames_.push_back({obj, nullptr, list});
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
    slot = str_from_utf8(s, false);
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

bool ObjectBuilder::begin_array(std::size_t hint) {
#ifdef Py_GIL_DISABLED
  (void)hint;
  return push_frame(PyList_New(0), true);
#else
  // Room for the announced members (the reader bounds the hint by its
  // input, and caps it), shown as an empty list: add() fills the room and
  // then counts each member in, and a longer list grows as any list does.
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(hint));
  if (list != nullptr) Py_SET_SIZE(list, 0);
  return push_frame(list, true);
#endif
}

bool ObjectBuilder::end_array() {
  PyObject* list = frames_.back().obj;
  frames_.pop_back();
  return add(list);
}

bool ObjectBuilder::begin_object(std::size_t hint) {
  // Sized up front from a count the reader has bounded by its input, so a
  // forged count cannot make a large allocation.
  return push_frame(_PyDict_NewPresized(static_cast<Py_ssize_t>(hint)), false);
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
  // Field by field: a copy of the whole frame would read in one wide load
  // what two narrow stores have just written, which stalls.
  Frame& f = frames_.back();
  PyObject* dict = f.obj;
  Py_XDECREF(f.key);  // nullptr unless a member was left without its value
  frames_.pop_back();
  return add(dict);
}

namespace {

bool slot_holds(const KeyWords& words, std::size_t len, PyObject* str, std::uint8_t slot_len,
                const std::uint64_t (&slot_words)[4]) noexcept {
  return str != nullptr && slot_len == len && slot_words[0] == words.w[0] && slot_words[1] == words.w[1] &&
         slot_words[2] == words.w[2] && slot_words[3] == words.w[3];
}

}  // namespace

PyObject* ObjectBuilder::key_object(std::string_view key, bool ascii) {
  if (key.size() <= word_key) [[likely]] {
    const KeyWords words = key_words(key);
    const std::uint64_t hash = key_hash(words, key.size());
    const CachedKey& first = keys_[first_slot(hash)];
    if (slot_holds(words, key.size(), first.str, first.len, first.words)) return Py_NewRef(first.str);
    return key_elsewhere(key, ascii, hash);
  }
  // A longer key is cached only in ASCII, where the str's own storage is
  // the text to compare with.
  if (key.size() > max_cached_key || !ascii) return str_from_utf8(key, ascii);
  return key_elsewhere(key, ascii, key_hash(key_words(key), key.size()));
}

PyObject* ObjectBuilder::key_elsewhere(std::string_view key, bool ascii, std::uint64_t hash) {
  const KeyWords words = key_words(key);
  const auto holds = [&](const CachedKey& slot) {
    return slot_holds(words, key.size(), slot.str, slot.len, slot.words) &&
           (key.size() <= word_key || std::memcmp(PyUnicode_DATA(slot.str), key.data(), key.size()) == 0);
  };
  CachedKey& first = keys_[first_slot(hash)];
  if (key.size() > word_key && holds(first)) return Py_NewRef(first.str);
  if (const CachedKey& second = keys_[second_slot(hash)]; holds(second)) {
    return Py_NewRef(second.str);
  }
  PyObject* s = str_from_utf8(key, ascii);
  if (s == nullptr) return nullptr;
  // Hashed once here, so every dict it goes into reuses the hash.
  if (PyObject_Hash(s) == -1) {
    Py_DECREF(s);
    return nullptr;
  }
  if (first.str != nullptr) {
    // The key in the way moves to its second slot if this was its first.
    KeyWords held;
    std::memcpy(held.w, first.words, sizeof held.w);
    const std::uint64_t held_hash = key_hash(held, first.len);
    CachedKey& other = keys_[second_slot(held_hash)];
    if (first_slot(held_hash) == first_slot(hash) && &other != &first) {
      Py_XDECREF(other.str);
      other = first;
    } else {
      Py_DECREF(first.str);
    }
  }
  first.str = Py_NewRef(s);
  first.len = static_cast<std::uint8_t>(key.size());
  std::memcpy(first.words, words.w, sizeof first.words);
  return s;
}

void ObjectBuilder::clear() noexcept {
  for (const Frame& f : frames_) {
    Py_DECREF(f.obj);
    Py_XDECREF(f.key);
  }
  frames_.clear();
  Py_CLEAR(result_);
}

PyRef ObjectBuilder::take() {
  PyObject* obj = frames_.empty() ? std::exchange(result_, nullptr) : nullptr;
  clear();
  return PyRef::steal(obj);
}

}  // namespace tuvax::py
