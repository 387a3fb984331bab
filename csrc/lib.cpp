// The extension module `tovak.lib._tovak`: its two entry points. It only hands the new module to the
// feature area, which registers its own submodule and functions.
#include "api/bigjson/mod.hpp"
#include "api/module_def.hpp"

namespace {

constexpr char kModuleName[] = "_tovak";
constexpr char kModuleDoc[] =
    "The native extension module. Compiled as `tovak.lib._tovak`.\n"
    "\n"
    "`lib` stays intentionally thin: it only delegates to the `api`\n"
    "module tree, where each feature area registers its own functions\n"
    "and submodules.";

using Definition = tovak::api::ModuleDefinition<tovak::bigjson::register_module, kModuleName, kModuleDoc>;

}  // namespace

PyMODINIT_FUNC PyInit__tovak(void) { return Definition::init(); }

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport__tovak(void) { return Definition::exported(); }
#endif
