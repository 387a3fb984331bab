// Submodules of the extension module and the `__all__` lists that name their public objects.
#pragma once

#include "api/frame.hpp"

namespace tovak {

// A new module named `name`, entered in sys.modules as "tovak.<name>" and attached to `parent`.
Result<PyRef> new_submodule(PyObject* parent, const char* name);

// Appends `name` to the module's `__all__`, creating the list when the module has none.
Status append_to_all(PyObject* module, PyObject* name);

}  // namespace tovak
