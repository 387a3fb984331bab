// count(path, format=None): the number of top-level records, found by a byte scan that never parses.
#pragma once

#include "api/frame.hpp"

namespace tovak::bigjson {

extern PyMethodDef count_method;

}  // namespace tovak::bigjson
