// The extension module `tovak.lib._reader`: its two entry points. The `tovak` package's own functions
// (count, load, records, schema) live in it, over the same engine as `tovak.lib._tovak`.
#include "api/module_def.hpp"
#include "api/reader/mod.hpp"

namespace {

constexpr char kModuleName[] = "_reader";
constexpr char kModuleDoc[] =
    "The native module behind the `tovak` package's own functions. Compiled as `tovak.lib._reader`.";

using Definition = tovak::api::ModuleDefinition<tovak::reader::register_module, kModuleName, kModuleDoc>;

}  // namespace

PyMODINIT_FUNC PyInit__reader(void) { return Definition::init(); }

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport__reader(void) { return Definition::exported(); }
#endif
