// count(path, format=None): the number of top-level records, by the byte counters of records/count.hpp.
#pragma once

#include "api/frame.hpp"

namespace tovak::bigjson {

extern PyMethodDef count_method;

}  // namespace tovak::bigjson
