#include "api/submodule.hpp"

#include <string>

namespace tovak {

Status append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Failure::from_python();
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Failure::from_python();
    } else if (!PyList_Check(all.get())) {
        return cast_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) return Failure::from_python();
    return success();
}

Result<PyRef> new_submodule(PyObject* parent, const char* name) {
    Result<PyRef> module = checked(PyModule_New(name));
    if (!module) return module;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module->get(), Py_MOD_GIL_NOT_USED) < 0) return Failure::from_python();
#endif
    const std::string key = std::string("tovak.") + name;

    PyRef sys_name = PyRef::steal(PyUnicode_FromString("sys"));
    if (!sys_name) return Failure::from_python();
    PyRef sys = PyRef::steal(PyImport_Import(sys_name.get()));
    if (!sys) return Failure::from_python();
    PyRef modules = PyRef::steal(PyObject_GetAttrString(sys.get(), "modules"));
    if (!modules) return Failure::from_python();
    PyRef key_object = PyRef::steal(PyUnicode_FromString(key.c_str()));
    if (!key_object || PyObject_SetItem(modules.get(), key_object.get(), module->get()) < 0)
        return Failure::from_python();

    // The attribute is the last dotted component of the submodule's own name.
    PyRef full_name = PyRef::steal(PyObject_GetAttrString(module->get(), "__name__"));
    if (!full_name) return Failure::from_python();
    Py_ssize_t length = PyUnicode_GetLength(full_name.get());
    Py_ssize_t dot = PyUnicode_FindChar(full_name.get(), '.', 0, length, -1);
    if (dot == -2) return Failure::from_python();
    PyRef attribute = dot < 0 ? PyRef::borrow(full_name.get())
                              : PyRef::steal(PyUnicode_Substring(full_name.get(), dot + 1, length));
    if (!attribute) return Failure::from_python();
    Status listed = append_to_all(parent, attribute.get());
    if (!listed) return std::move(listed).failure();
    if (PyObject_SetAttr(parent, attribute.get(), module->get()) < 0) return Failure::from_python();
    return module;
}

}  // namespace tovak
