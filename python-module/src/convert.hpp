#ifndef TUVAX_PY_CONVERT_HPP
#define TUVAX_PY_CONVERT_HPP

#include "python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pyref.hpp"
#include "tuvax/value.hpp"

namespace tuvax::py {

// Converts a Python object (borrowed) into an owned Value: None, bool, int
// (-2**63 to 2**64 - 1), float, str, bytes and their subclasses, exact dict
// with str keys, exact list. nullopt with an exception set: TypeError for
// anything else, OverflowError, UnicodeEncodeError, RecursionError for
// nesting the interpreter's stack guard refuses (self-containing data too).
[[nodiscard]] std::optional<Value> py_to_value(PyObject* obj);

// Builds new Python objects from Value trees. One builder serves one call:
// short dictionary keys that repeat (documents repeat their keys) share one
// str object across all the trees it builds. Empty PyRef: exception set.
class PyBuilder {
 public:
  PyBuilder() noexcept = default;
  PyBuilder(const PyBuilder&) = delete;
  PyBuilder& operator=(const PyBuilder&) = delete;
  ~PyBuilder();

  [[nodiscard]] PyRef build(const Value& value);

 private:
  static constexpr std::size_t max_cached_key = 15;
  static constexpr std::size_t cache_slots = 64;  // a power of two
  struct CachedKey {
    PyObject* str = nullptr;  // owned
    std::uint8_t len = 0;
    char bytes[max_cached_key];
  };

  PyObject* build_inner(const Value& value);
  PyObject* build_array(const Array& array);
  PyObject* build_object(const Object& object);
  PyObject* key_object(const std::string& key);

  std::array<CachedKey, cache_slots> keys_{};
  // Finished elements of the arrays under construction, owned; a list is
  // created only once all its elements exist, so no half-filled list is ever
  // visible to Python code (a collector callback, say).
  std::vector<PyObject*> pending_;
};

// One-shot PyBuilder().build(value).
[[nodiscard]] PyRef value_to_py(const Value& value);

}  // namespace tuvax::py

#endif  // TUVAX_PY_CONVERT_HPP
