#include "python.hpp"

#include "convert.hpp"

#include <algorithm>  // std::min
#include <cstring>    // std::memcmp, std::memcpy
#include <string>
#include <utility>

#include "errors.hpp"

namespace tuvax::py {
namespace {

// Py_EnterRecursiveCall with the matching leave on every path, C++
// exceptions included.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  bool entered() const noexcept { return entered_; }

 private:
  bool entered_;
};

constexpr const char* to_value_where = " while converting to a Tuvax value";
constexpr const char* to_py_where = " while converting a Tuvax value";

bool to_value(PyObject* obj, Value& out);

bool int_to_value(PyObject* obj, Value& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) return false;
    out = v < 0 ? Value::integer(v) : Value::uint(static_cast<std::uint64_t>(v));
    return true;
  }
  if (overflow > 0) {
    // 2**63 to 2**64 - 1 still fit a UInt; beyond, the interpreter's own
    // OverflowError of this call stands.
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = Value::uint(u);
    return true;
  }
  (void)PyLong_AsLongLong(obj);  // below -2**63: raises the interpreter's OverflowError
  return false;
}

bool str_to_value(PyObject* obj, Value& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // cached in the object
  if (text == nullptr) return false;
  out = Value::str(std::string(text, static_cast<std::size_t>(size)));
  return true;
}

bool bytes_to_value(PyObject* obj, Value& out) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
  out = Value::bytes(Bytes(data, data + PyBytes_GET_SIZE(obj)));
  return true;
}

bool dict_to_value(PyObject* dict, Value& out) {
  RecursionGuard recursion(to_value_where);
  if (!recursion.entered()) return false;
  const Py_ssize_t start_len = PyDict_GET_SIZE(dict);
  Object object;
  object.reserve(static_cast<std::size_t>(start_len));
  Py_ssize_t remaining = start_len;
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    --remaining;
    // Strong references: converting the value may run a collection, whose
    // callbacks may change the dictionary.
    PyRef key = PyRef::borrow(k);
    PyRef value = PyRef::borrow(v);
    Py_ssize_t key_len = 0;
    const char* key_text = PyUnicode_Check(key.get()) ? PyUnicode_AsUTF8AndSize(key.get(), &key_len) : nullptr;
    if (key_text == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "dict keys must be strings");
      return false;
    }
    Member member{std::string(key_text, static_cast<std::size_t>(key_len)), Value()};
    if (!to_value(value.get(), member.value)) return false;
    object.push_back(std::move(member));
    if (PyDict_GET_SIZE(dict) != start_len) {
      raise_internal_failure("dictionary changed size during iteration");
      return false;
    }
    if (remaining < 0) {
      raise_internal_failure("dictionary keys changed during iteration");
      return false;
    }
  }
  out = Value::object(std::move(object));
  return true;
}

bool list_to_value(PyObject* list, Value& out) {
  RecursionGuard recursion(to_value_where);
  if (!recursion.entered()) return false;
  const Py_ssize_t start_len = PyList_GET_SIZE(list);
  Array array;
  array.reserve(static_cast<std::size_t>(start_len));
  // Re-measured at every step: the list may shrink under us, never read past its end.
  for (Py_ssize_t i = 0; i < std::min(start_len, PyList_GET_SIZE(list)); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    Value element;
    if (!to_value(item.get(), element)) return false;
    array.push_back(std::move(element));
  }
  out = Value::array(std::move(array));
  return true;
}

bool to_value(PyObject* obj, Value& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (obj == Py_None) {
    out = Value::null();
    return true;
  }
  if (type == &PyBool_Type) {
    out = Value::boolean(obj == Py_True);
    return true;
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) return int_to_value(obj, out);
  if (PyFloat_CheckExact(obj)) {
    out = Value::real(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (PyFloat_Check(obj)) {
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = Value::real(d);
    return true;
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) return str_to_value(obj, out);
  if (PyType_HasFeature(type, Py_TPFLAGS_BYTES_SUBCLASS)) return bytes_to_value(obj, out);
  if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) {
    if (type != &PyDict_Type) {
      raise_not_instance(obj, "dict");
      return false;
    }
    return dict_to_value(obj, out);
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) {
    if (type != &PyList_Type) {
      raise_not_instance(obj, "list");
      return false;
    }
    return list_to_value(obj, out);
  }
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to Tuvax value", name.get());
  return false;
}

// A scalar that cannot be created is a broken invariant (the core hands out
// valid UTF-8 only), unless memory ran out, which stays a MemoryError.
void scalar_failed() {
  if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
    raise_internal_failure("could not create a Python object for a decoded scalar");
  }
}

std::size_t key_hash(const std::string& key) noexcept {
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (const char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

}  // namespace

std::optional<Value> py_to_value(PyObject* obj) {
  Value out;
  if (!to_value(obj, out)) return std::nullopt;
  return out;
}

PyBuilder::~PyBuilder() {
  for (CachedKey& k : keys_) Py_XDECREF(k.str);
  for (PyObject* p : pending_) Py_DECREF(p);
}

PyRef PyBuilder::build(const Value& value) {
  const std::size_t base = pending_.size();
  PyObject* result = build_inner(value);
  // After a failure, elements of the abandoned arrays are still pending.
  while (pending_.size() > base) {
    Py_DECREF(pending_.back());
    pending_.pop_back();
  }
  return PyRef::steal(result);
}

PyObject* PyBuilder::build_inner(const Value& value) {
  PyObject* obj = nullptr;
  switch (value.kind()) {
    case Kind::Null: return Py_NewRef(Py_None);
    case Kind::Bool: return Py_NewRef(value.as_bool() ? Py_True : Py_False);
    case Kind::UInt: obj = PyLong_FromUnsignedLongLong(value.as_uint()); break;
    case Kind::Int: obj = PyLong_FromLongLong(value.as_int()); break;
    case Kind::Float: obj = PyFloat_FromDouble(value.as_float()); break;
    case Kind::Str: {
      const std::string& s = value.as_str();
      obj = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
      break;
    }
    case Kind::Bytes: {
      const Bytes& b = value.as_bytes();
      obj = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
      break;
    }
    case Kind::Array: return build_array(value.as_array());
    case Kind::Object: return build_object(value.as_object());
  }
  if (obj == nullptr) scalar_failed();
  return obj;
}

PyObject* PyBuilder::build_array(const Array& array) {
  RecursionGuard recursion(to_py_where);
  if (!recursion.entered()) return nullptr;
  const std::size_t base = pending_.size();
  pending_.reserve(base + array.size());
  for (const Value& element : array) {
    PyObject* item = build_inner(element);
    if (item == nullptr) return nullptr;  // build() releases what is pending
    pending_.push_back(item);
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(array.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < array.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pending_[base + i]);  // steals
  }
  pending_.resize(base);
  return list;
}

PyObject* PyBuilder::build_object(const Object& object) {
  RecursionGuard recursion(to_py_where);
  if (!recursion.entered()) return nullptr;
  // Sized up front, so that filling never rehashes.
  PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(object.size())));
  if (!dict) return nullptr;
  for (const Member& member : object) {
    PyRef key = PyRef::steal(key_object(member.key));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(build_inner(member.value));
    // A repeated key keeps its first position and takes the later value.
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* PyBuilder::key_object(const std::string& key) {
  const auto make = [&] {
    PyObject* s = PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "strict");
    if (s == nullptr) scalar_failed();
    return s;
  };
  if (key.size() > max_cached_key) return make();
  CachedKey& slot = keys_[key_hash(key) & (cache_slots - 1)];
  if (slot.str != nullptr && slot.len == key.size() && std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
    return Py_NewRef(slot.str);
  }
  PyObject* s = make();
  if (s == nullptr) return nullptr;
  Py_XSETREF(slot.str, Py_NewRef(s));
  slot.len = static_cast<std::uint8_t>(key.size());
  std::memcpy(slot.bytes, key.data(), key.size());
  return s;
}

PyRef value_to_py(const Value& value) {
  PyBuilder builder;
  return builder.build(value);
}

}  // namespace tuvax::py
