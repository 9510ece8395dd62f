// Python objects built straight from a reader's events: the binary decoder
// and the text parser both drive this one builder.
#ifndef TUVAX_PY_BUILDER_HPP
#define TUVAX_PY_BUILDER_HPP

#include "python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "py_str.hpp"
#include "pyref.hpp"
#include "tuvax/builder.hpp"

namespace tuvax::py {

// A tuvax::ValueBuilder that makes Python objects: dict, list, str, int,
// float, bytes, bool and None. One builder serves one call and may build
// many top-level values in turn (take() after each): short keys that repeat
// share one str object across all of them, and so do the strings that a
// document shares through its string table.
//
// Every event returns false only with a Python exception set (MemoryError,
// or the internal failure for a string the reader should never have passed
// on). Whatever was built of an unfinished value is released by the next
// take() or by the destructor.
class ObjectBuilder {
 public:
  ObjectBuilder() noexcept = default;
  ObjectBuilder(const ObjectBuilder&) = delete;
  ObjectBuilder& operator=(const ObjectBuilder&) = delete;
  ~ObjectBuilder();

  bool null() { return put(Py_NewRef(Py_None)); }
  bool boolean(bool b) { return put(Py_NewRef(b ? Py_True : Py_False)); }
  bool uint(std::uint64_t u) { return put(PyLong_FromUnsignedLongLong(u)); }
  bool integer(std::int64_t i) { return put(PyLong_FromLongLong(i)); }
  bool real(double d) { return put(PyFloat_FromDouble(d)); }
  bool str(std::string_view s, bool ascii) { return put(str_from_utf8(s, ascii)); }
  bool shared_str(std::string_view s, std::size_t index);
  void reset_shared() noexcept;
  bool bytes(std::span<const std::uint8_t> b) {
    return put(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
  }
  bool begin_array(std::size_t hint);
  bool end_array();
  bool begin_object(std::size_t hint);
  bool key(std::string_view s, bool ascii);
  bool end_object();

  // The finished top-level value (a new reference), after a reader reported
  // one; also drops whatever an abandoned value left behind.
  [[nodiscard]] PyRef take();

 private:
  // Each key has two slots: its first, and a second that it moves to when
  // another key takes the first. Only first slots would leave the two keys
  // of a pair that meet there (in a document of records, a pair in every
  // record) making a new str at almost every use.
  //
  // Keys of up to 32 bytes are compared by the words a slot holds; longer
  // ones, up to 64 and ASCII only, also byte by byte with their str.
  static constexpr std::size_t word_key = 32;
  static constexpr std::size_t max_cached_key = 64;
  static constexpr unsigned cache_bits = 9;
  static constexpr std::size_t cache_slots = std::size_t{1} << cache_bits;
  // A key's two slots, from two groups of its hash's bits (key_hash()).
  static std::size_t first_slot(std::uint64_t hash) noexcept { return hash >> (64 - cache_bits); }
  static std::size_t second_slot(std::uint64_t hash) noexcept {
    return (hash >> (64 - 3 * cache_bits)) & (cache_slots - 1);
  }
  struct CachedKey {
    PyObject* str = nullptr;  // owned
    std::uint8_t len = 0;
    std::uint64_t words[4] = {0, 0, 0, 0};  // the key as key_words() reads it (a long one: part)
  };
  // An open container. Each is created at its begin_* event, before any of
  // its members, and filled as they arrive, so that the collector's list of
  // objects holds parents before their children, as Python code builds
  // them: a collection after the call then finds every member reachable the
  // first time it looks (built children-first, each would be set aside as
  // unreachable and taken back once its parent was seen). A list's size
  // counts only what is filled, so no Python code that could see it (a
  // collector callback) ever meets an empty slot. A container goes into its
  // parent once it is complete; until then its frame owns it.
  struct Frame {
    PyObject* obj;   // owned: the list or dict
    PyObject* key;   // owned; the key waiting for its value (dicts only)
    bool list;
  };

  // Takes over `obj` (a new reference, or nullptr on failure).
  bool put(PyObject* obj) {
    if (obj == nullptr) [[unlikely]]
      return put_failed();
    return add(obj);
  }
  [[gnu::noinline, gnu::cold]] bool put_failed();
  // Hands a finished value (owned, not nullptr) to the open container, or
  // keeps it as the result. A member of a list with room for it, the
  // commonest, is placed inline.
  bool add(PyObject* obj) {
#ifndef Py_GIL_DISABLED
    // Into the room begin_array made, then the size: the list never shows
    // a slot it does not hold.
    if (!frames_.empty() && frames_.back().list) {
      auto* list = reinterpret_cast<PyListObject*>(frames_.back().obj);
      const Py_ssize_t n = Py_SIZE(list);
      if (n < list->allocated) [[likely]] {
        list->ob_item[n] = obj;  // steals
        Py_SET_SIZE(list, n + 1);
        return true;
      }
    }
#endif
    return add_rest(obj);
  }
  bool add_rest(PyObject* obj);
  // Opens a frame for a new container (owned, or nullptr on failure).
  bool push_frame(PyObject* obj, bool list);
  PyObject* key_object(std::string_view s, bool ascii);
  // A key not in its first slot: in its second, or made and cached.
  [[gnu::noinline]] PyObject* key_elsewhere(std::string_view s, bool ascii, std::uint64_t hash);
  void clear() noexcept;

  PyObject* result_ = nullptr;  // owned: the finished top-level value
  std::vector<Frame> frames_;
  std::vector<PyObject*> shared_;   // owned or nullptr, by string-table index
  std::array<CachedKey, cache_slots> keys_{};
};

}  // namespace tuvax::py

#endif  // TUVAX_PY_BUILDER_HPP
