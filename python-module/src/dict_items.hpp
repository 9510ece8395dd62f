// The items of a dict in order, as PyDict_Next gives them, read from the
// dict's own table where that is safe. Included after <Python.h>; the
// benchmarks' floor includes it too, so that it walks dicts as cheaply.
#ifndef TUVAX_PY_DICT_ITEMS_HPP
#define TUVAX_PY_DICT_ITEMS_HPP

#include <cstddef>
#include <cstdint>

namespace tuvax::py {

// PyDict_Next is a call per item, with the checks a general caller needs:
// on documents of many small dicts, an eighth of encoding. With the GIL,
// CPython 3.14 keeps an ordinary dict's items in one table, in order, after
// its hash index; the layouts below are that version's (its internal
// pycore_dict.h), read the way PyDict_Next itself reads them. Any other
// version, a free-threaded build, or a dict whose values live apart (an
// instance's attributes) goes through PyDict_Next.
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F0000 && !defined(Py_GIL_DISABLED)
#define TUVAX_DICT_TABLE_READ 1
namespace dict_layout {
struct Keys {
  Py_ssize_t refcnt;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;  // the index before the items
  std::uint8_t kind;
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;  // items in use or deleted, deleted ones without a value
};
inline constexpr std::uint8_t general = 0;  // items carry their hash
inline constexpr std::uint8_t unicode = 1;  // every key an exact str
struct Item {
  Py_hash_t hash;
  PyObject* key;
  PyObject* value;
};
struct StrItem {
  PyObject* key;
  PyObject* value;
};
// The item at *pos or the first in use after it, among n of type Item.
template <class Item>
bool next_item(const char* items, Py_ssize_t n, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
  const auto* entry = reinterpret_cast<const Item*>(items);
  Py_ssize_t i = *pos;
  while (i < n && entry[i].value == nullptr) ++i;
  if (i >= n) return false;
  *key = entry[i].key;
  *value = entry[i].value;
  *pos = i + 1;
  return true;
}
}  // namespace dict_layout
#endif

// Like PyDict_Next(dict, pos, key, value): borrowed references, and the
// table is read afresh at each call, so a dict changed between calls reads
// as PyDict_Next would read it.
inline bool next_dict_item(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
#ifdef TUVAX_DICT_TABLE_READ
  auto* mp = reinterpret_cast<PyDictObject*>(dict);
  const auto* keys = reinterpret_cast<const dict_layout::Keys*>(mp->ma_keys);
  if (mp->ma_values == nullptr && keys->kind <= dict_layout::unicode) {
    const char* items = reinterpret_cast<const char*>(keys + 1) + (std::size_t{1} << keys->log2_index_bytes);
    return keys->kind == dict_layout::unicode
               ? dict_layout::next_item<dict_layout::StrItem>(items, keys->nentries, pos, key, value)
               : dict_layout::next_item<dict_layout::Item>(items, keys->nentries, pos, key, value);
  }
#endif
  return PyDict_Next(dict, pos, key, value) != 0;
}

}  // namespace tuvax::py

#endif  // TUVAX_PY_DICT_ITEMS_HPP
