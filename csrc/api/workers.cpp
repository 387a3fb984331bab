#include "api/workers.hpp"

#include <algorithm>
#include <cstdlib>

namespace tovak::api {

std::size_t available_cores() {
    PyRef os = PyRef::steal(PyImport_ImportModule("os"));
    PyRef count;
    if (os) {
        count = PyRef::steal(PyObject_CallMethod(os.get(), "process_cpu_count", nullptr));
        if (!count) {
            PyErr_Clear();
            count = PyRef::steal(PyObject_CallMethod(os.get(), "cpu_count", nullptr));
        }
    }
    if (!count || !PyLong_Check(count.get())) {
        PyErr_Clear();
        return 1;
    }
    const long long cores = PyLong_AsLongLong(count.get());
    if (cores < 1) {
        PyErr_Clear();
        return 1;
    }
    return std::min<std::size_t>(static_cast<std::size_t>(cores), kMaxWorkers);
}

std::uint64_t size_from_environment(const char* name) {
    const char* given = std::getenv(name);
    if (given == nullptr) return 0;
    char* end = nullptr;
    const unsigned long long size = std::strtoull(given, &end, 10);
    return end != given && *end == '\0' ? size : 0;
}

}  // namespace tovak::api
