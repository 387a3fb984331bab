// Holding off the cyclic collector's automatic passes while a call builds one big result (`load`).
//
// Why, on the free-threaded build only: its collector walks every object of the heap on each pass, and a
// long call runs a scheduled pass whenever it looks for a signal; the pass is scheduled each time the
// tracked objects grew by a quarter, so building a document of N containers costs about five walks over
// N objects that cannot hold a cycle until the call returns (a first load of 400 MB: 25 passes, half its
// time). The builds with the GIL keep the containers off the collector's lists instead
// (PyObjectSink::defer_tracking), which that collector honours; there a pause is nothing.
//
// The collector's switch is the interpreter's, so pauses are counted per interpreter, in a record its
// dictionary holds (shared by both native modules): the first pause switches the collector off if it
// was on, the last one switches it back on, and a collector the program had switched off stays off.
// Explicit `gc.collect()` calls still run. A child forked while a pause was held starts with the count
// cleared and the collector restored.
//
// Thread rule: made and destroyed on the same thread, attached to the interpreter.
#pragma once

#include "api/frame.hpp"

namespace tovak::api {

struct CollectorCount;

class CollectorPause {
public:
    CollectorPause() noexcept;
    ~CollectorPause();
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
#ifdef Py_GIL_DISABLED
    CollectorCount* count_ = nullptr;  // null: no pause taken
    long pid_ = 0;
#endif
};

}  // namespace tovak::api
