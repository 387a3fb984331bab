// One extension module's definition, shared by the package's two native modules (`tovak.lib._tovak`
// with its bigjson submodule, `tovak.lib._reader` with the package's own functions): the execution slot
// that runs the module's registration, the ABI record (3.15 and later), the declaration that the GIL is
// not needed (3.13 and later), the name and the docstring; kept both as the module definition's slot list
// (PyInit_*) and as the array the 3.15 export hook (PyModExport_*) hands out, whose entries have another
// layout.
//
// Thread rule: constant data; the interpreter runs `exec` once per module object it makes.
#pragma once

#include "api/frame.hpp"

namespace tovak::api {

template <Status (*Register)(PyObject*), const char* Name, const char* Doc>
class ModuleDefinition {
public:
    static PyObject* init() noexcept { return PyModuleDef_Init(&def_); }
#ifdef PyMODEXPORT_FUNC
    static PySlot* exported() noexcept { return export_slots_; }
#endif

private:
    static int exec(PyObject* module) noexcept {
        return run_status_entry([&]() -> Status {
            if (!PyModule_Check(module)) return cast_error(module, "PyModule");
            return Register(module);
        });
    }

#if PY_VERSION_HEX >= 0x030F0000
    // Format 1.0; the build's threading model; no particular build or stable-ABI version.
#ifdef Py_GIL_DISABLED
    static inline PyABIInfo abi_info_ = {1, 0, PyABIInfo_FREETHREADED, 0, 0};
#else
    static inline PyABIInfo abi_info_ = {1, 0, PyABIInfo_GIL, 0, 0};
#endif
#endif

    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030F0000
        {Py_mod_abi, &abi_info_},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if PY_VERSION_HEX >= 0x030F0000
        {Py_mod_name, const_cast<char*>(Name)},
        {Py_mod_doc, const_cast<char*>(Doc)},
#endif
        {0, nullptr},
    };

#ifdef PyMODEXPORT_FUNC
    static inline PySlot export_slots_[] = {
        PySlot_FUNC(Py_mod_exec, exec),
        PySlot_PTR(Py_mod_abi, &abi_info_),
        PySlot_DATA(Py_mod_gil, Py_MOD_GIL_NOT_USED),
        PySlot_PTR(Py_mod_name, Name),
        PySlot_PTR(Py_mod_doc, Doc),
        PySlot_END,
    };
#endif

    static inline PyModuleDef def_ = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = Name,
        .m_doc = Doc,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = slots_,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
};

}  // namespace tovak::api
