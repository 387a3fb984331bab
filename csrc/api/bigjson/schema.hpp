// schema(path, sample=100, format=None): the merged structure of a file's first records (json/structure.hpp),
// printed indented.
#pragma once

#include "api/frame.hpp"

namespace tovak::bigjson {

extern PyMethodDef schema_method;

}  // namespace tovak::bigjson
