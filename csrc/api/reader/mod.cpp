#include "api/reader/mod.hpp"
#include "api/reader/structure.hpp"

namespace tovak::reader {

namespace {

PyMethodDef* const kFunctions[] = {&count_method, &load_method, &records_method, &schema_method,
                                   &json_schema_method, &split_blocks_method};

}  // namespace

Status register_module(PyObject* module) {
    PyRef module_name = PyRef::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return Failure::from_python();
    for (PyMethodDef* def : kFunctions) {
        Result<PyRef> function = checked(PyCFunction_NewEx(def, module, module_name.get()));
        if (!function) return std::move(function).failure();
        if (PyObject_SetAttrString(module, def->ml_name, function->get()) < 0) return Failure::from_python();
    }
    Result<PyRef> type = records_type();
    if (!type) return std::move(type).failure();
    if (PyObject_SetAttrString(module, "Records", type->get()) < 0) return Failure::from_python();
    Result<PyRef> structure = structure_type();
    if (!structure) return std::move(structure).failure();
    if (PyObject_SetAttrString(module, "Structure", structure->get()) < 0) return Failure::from_python();
    return success();
}

}  // namespace tovak::reader
