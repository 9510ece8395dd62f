#include "python.hpp"

#include "args.hpp"

#include <algorithm>  // std::min
#include <string>

#include "errors.hpp"
#include "pyref.hpp"

namespace tuvax::py {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own joining.
std::string join_names(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      if (i + 1 == names.size()) out += " and";
      out += ' ';
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool check_positional(const Signature& sig, std::size_t nargs) {
  const std::size_t most = std::min(sig.positional, sig.names.size());
  if (nargs <= most) return true;
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required >= most) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", sig.display, most, nargs,
                 verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                 sig.display, sig.required, most, nargs, verb);
  }
  return false;
}

// Binds one keyword argument; false with TypeError set.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.display);
    return false;
  }
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    const char* name = sig.names[i];
    if (PyUnicode_EqualToUTF8AndSize(key, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name)))) {
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display, name);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
  return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
  const char* missing[8];
  std::size_t n = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr && n < std::size(missing)) missing[n++] = sig.names[i];
  }
  if (n == 0) return true;
  const std::string names = join_names({missing, n});
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.display, n,
               n > 1 ? "s" : "", names.c_str());
  return false;
}

// Rewrites a pending TypeError as "argument '{param}': {message}", keeping its
// cause; leaves any other exception alone.
void prefix_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef first = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(first.get()));
  if (!text) return;
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!msg) return;
  PyRef second = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  if (!second) return;
  if (PyObject* cause = PyException_GetCause(first.get())) {
    PyException_SetCause(second.get(), cause);  // steals `cause`
  }
  PyErr_SetRaisedException(second.release());
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** out) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  if (!check_positional(sig, nargs)) return false;
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)], out))
        return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  if (!check_positional(sig, nargs)) return false;
  for (std::size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // The dictionary belongs to this call and nothing below runs Python code,
    // so the borrowed items stay valid.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

std::optional<std::span<const std::uint8_t>> arg_bytes(const char* param, PyObject* obj) {
  if (!PyBytes_Check(obj)) {
    raise_not_instance(obj, "bytes");
    prefix_type_error(param);
    return std::nullopt;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
  return std::span<const std::uint8_t>(data, static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

std::optional<std::string_view> arg_str(const char* param, PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    prefix_type_error(param);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) {
    prefix_type_error(param);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<std::uint64_t> arg_u64(const char* param, PyObject* obj) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
      prefix_type_error(param);
      return std::nullopt;
    }
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(param);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(v);
}

std::optional<std::string_view> arg_path(const char* param, PyObject* obj, PyRef& holder) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(obj, &encoded) == 0) {
    prefix_type_error(param);
    return std::nullopt;
  }
  holder = PyRef::steal(encoded);
  return std::string_view(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
}

std::optional<PyObject*> arg_callable_or_none(const char* param, PyObject* obj) {
  if (obj == Py_None) return nullptr;
  if (PyCallable_Check(obj)) return obj;
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not callable", param, name.get());
  return std::nullopt;
}

}  // namespace tuvax::py
