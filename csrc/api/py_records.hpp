// What every surface does with the record cutter's records: parse each into a Python object, and gather
// all of an input's records into one list. A surface passes its own wording of engine failures
// (`Word`: a callable from records::RecordError to Failure).
//
// Thread rule: on the caller's thread, attached to the interpreter, with the caller's cutter and parser.
#pragma once

#include <optional>
#include <vector>

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

// Gathers values into one list made at the end at its final size: appending to a growing list costs a
// copy of it at every resize and, on the free-threaded build, a lock of the list per value.
class ListBuilder {
public:
    void push(PyRef value) { values_.push_back(std::move(value)); }
    std::size_t size() const noexcept { return values_.size(); }
    PyObject* operator[](std::size_t i) const noexcept { return values_[i].get(); }  // borrowed

    // The list of every value pushed, which the builder then no longer holds.
    Result<PyRef> finish() {
        Result<PyRef> list = checked(PyList_New(static_cast<Py_ssize_t>(values_.size())));
        if (!list) return list;
        for (std::size_t i = 0; i < values_.size(); ++i)
            PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), values_[i].release());
        values_.clear();
        return list;
    }

private:
    std::vector<PyRef> values_;
};

// Every record in one list. The records stay off the collector's lists until the list is complete
// (PyObjectSink::defer_tracking): collections during the load would otherwise walk them again and again.
template <class Next>
Result<PyRef> gather_list(PyParser& parser, Next&& next) {
    ListBuilder values;
    parser.defer_tracking();
    for (;;) {
        Result<std::optional<PyRef>> value = next();
        if (!value) return std::move(value).failure();
        if (!value.value()) break;
        values.push(std::move(*value.value()));
    }
    // The list first, so that it goes on the collector's list ahead of its records (see track_deferred).
    Result<PyRef> list = values.finish();
    parser.track_deferred();
    return list;
}

}  // namespace tovak::api
