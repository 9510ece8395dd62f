#include "python.hpp"

#include "module.hpp"

#include "errors.hpp"
#include "pyref.hpp"

namespace tuvax::py {
namespace {

constexpr const char* version = "1.1.2";

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute; both steal nothing. false with an exception set.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* found = nullptr;
  const int r = PyObject_GetOptionalAttrString(module, "__all__", &found);
  if (r < 0) return false;
  PyRef all = PyRef::steal(found);
  if (r == 0) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    raise_internal_failure("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  return key && add_attribute(module, key.get(), value);
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef func = PyRef::steal(PyCFunction_NewEx(def, module, module_name));
  if (!func) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(func.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_not_instance(name.get(), "str");
    return false;
  }
  return add_attribute(module, name.get(), func.get());
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return type != nullptr && add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

int module_exec(PyObject* module) {
  return guard([&]() -> int {
    if (!PyModule_Check(module)) {
      raise_not_instance(module, "module");
      return -1;
    }
    PyRef ver = PyRef::steal(PyUnicode_FromString(version));
    if (!ver || !add_attribute(module, "__version__", ver.get())) return -1;

    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : module_functions()) {
      if (!add_function(module, module_name.get(), &def)) return -1;
    }

    if (!add_type(module, "Encoder", encoder_type())) return -1;
    if (!add_type(module, "TuvaxDecoder", decoder_type())) return -1;
    if (!add_private_names(module)) return -1;
    PyRef package = PyRef::steal(PyUnicode_FromString("tuvax"));
    if (!package) return -1;
    for (PyMethodDef& def : package_functions()) {
      PyRef func = PyRef::steal(PyCFunction_NewEx(&def, module, package.get()));
      PyRef name = PyRef::steal(PyUnicode_FromFormat("_%s", def.ml_name));
      if (!func || !name || PyObject_SetAttr(module, name.get(), func.get()) < 0) return -1;
    }
    return 0;
  });
}

PyDoc_STRVAR(module_doc,
             "tuvax native extension (the C++ core behind the tuvax package).\n"
             "\n"
             "Provides high-performance encode/decode for the Tuvax binary format.");

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tuvax_native",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tuvax::py

// The one exported symbol. Multi-phase initialisation: the interpreter creates
// the module object and runs module_exec on it.
PyMODINIT_FUNC PyInit__tuvax_native() {
  return PyModuleDef_Init(&tuvax::py::module_def);
}
