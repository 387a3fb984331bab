// The extension module `tovak.lib._tovak`: its definition and its two entry points. It only hands the new
// module to the feature areas, which register their own submodules and functions.
#include "api/bigjson/mod.hpp"
#include "api/frame.hpp"

namespace {

constexpr const char kModuleDoc[] =
    "The native extension module. Compiled as `tovak.lib._tovak`.\n"
    "\n"
    "`lib` stays intentionally thin: it only delegates to the `api`\n"
    "module tree, where each feature area registers its own functions\n"
    "and submodules.";

int exec_module(PyObject* module) noexcept {
    return tovak::run_status_entry([&]() -> tovak::Status {
        if (!PyModule_Check(module)) return tovak::cast_error(module, "PyModule");
        return tovak::bigjson::register_module(module);
    });
}

#if PY_VERSION_HEX >= 0x030F0000
// Format 1.0; the build's threading model; no particular build or stable-ABI version.
#ifdef Py_GIL_DISABLED
PyABIInfo abi_info = {1, 0, PyABIInfo_FREETHREADED, 0, 0};
#else
PyABIInfo abi_info = {1, 0, PyABIInfo_GIL, 0, 0};
#endif
#endif

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030F0000
    {Py_mod_abi, &abi_info},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if PY_VERSION_HEX >= 0x030F0000
    {Py_mod_name, const_cast<char*>("_tovak")},
    {Py_mod_doc, const_cast<char*>(kModuleDoc)},
#endif
    {0, nullptr},
};

#ifdef PyMODEXPORT_FUNC
// The same five entries for the export hook, in the slot type it takes: the hook cannot hand out
// `module_slots`, whose entries have another layout.
PySlot export_slots[] = {
    PySlot_FUNC(Py_mod_exec, exec_module),
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_DATA(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_PTR(Py_mod_name, "_tovak"),
    PySlot_PTR(Py_mod_doc, kModuleDoc),
    PySlot_END,
};
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tovak",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tovak(void) { return PyModuleDef_Init(&module_def); }

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport__tovak(void) { return export_slots; }
#endif
