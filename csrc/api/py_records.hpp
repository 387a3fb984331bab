// What every surface does with the record cutter's records: parse each into a Python object, and gather
// all of an input's records into one list. A surface passes its own wording of engine failures
// (`Word`: a callable from records::RecordError to Failure).
//
// Thread rule: on the caller's thread, attached to the interpreter, with the caller's cutter and parser.
#pragma once

#include <optional>

#include "api/frame.hpp"
#include "api/py_sink.hpp"
#include "records/cutter.hpp"

namespace tovak::api {

// The next record as a Python object, nothing at the end, or the failure of this step.
template <class Reader, class Word>
Result<std::optional<PyRef>> next_value(records::RecordCutter<Reader>& cutter, PyParser& parser, Word&& word) {
    records::Record record;
    switch (cutter.next(record)) {
        case records::Next::end: return std::optional<PyRef>();
        case records::Next::error: return word(cutter.error());
        case records::Next::record: break;
    }
    PyParsed parsed = parser.parse(record.text);
    switch (parsed.status) {
        case json::ParseStatus::ok: return std::optional<PyRef>(std::move(parsed.value));
        case json::ParseStatus::syntax_error: return word(records::RecordCutter<Reader>::syntax_error(record, parsed.error));
        case json::ParseStatus::sink_failed: break;
    }
    return std::move(*parsed.raised);
}

// Every record in one list. The records stay off the collector's lists until the list is complete
// (PyObjectSink::defer_tracking): collections during the load would otherwise walk them again and again.
template <class Next>
Result<PyRef> gather_list(PyParser& parser, Next&& next) {
    Result<PyRef> list = checked(PyList_New(0));
    if (!list) return list;
    parser.defer_tracking();
    for (;;) {
        Result<std::optional<PyRef>> value = next();
        if (!value) return std::move(value).failure();
        if (!value.value()) break;
        if (PyList_Append(list->get(), value.value()->get()) < 0) return Failure::from_python();
    }
    parser.track_deferred();
    return list;
}

}  // namespace tovak::api
