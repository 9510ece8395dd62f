// What the execution step registers; each piece is defined next to its code.
#ifndef TUVAX_PY_MODULE_HPP
#define TUVAX_PY_MODULE_HPP

#include "python.hpp"

#include <span>

namespace tuvax::py {

// The six module functions in registration order (static storage: the
// function objects point into it).
std::span<PyMethodDef> module_functions() noexcept;
// What the tuvax package builds on (static storage): installed as the
// attributes "_{name}", outside __all__, as functions of the module "tuvax".
std::span<PyMethodDef> package_functions() noexcept;

// The class objects, created on first use and shared by every module object
// of the process. Borrowed reference, or nullptr with an exception set.
PyTypeObject* encoder_type() noexcept;
PyTypeObject* decoder_type() noexcept;

// The package's private entry points (_Writer, _Reader, _blocks), added as
// attributes outside __all__. false: exception set.
[[nodiscard]] bool add_private_names(PyObject* module);

}  // namespace tuvax::py

#endif  // TUVAX_PY_MODULE_HPP
