// The schema sampler: the first records of an input merged one by one into a structure summary, the
// record's value dropped as soon as it is merged. Shared by every surface's `schema`.
//
// Thread rule: runs on the caller's thread with the caller's cutter; touches no interpreter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "json/structure.hpp"
#include "json/value_sink.hpp"
#include "records/cutter.hpp"

namespace tovak::records {

// Reads records from `cutter` until `limit` of them are merged into `structure`, the input ends, or a
// record fails (its error is returned). Reading stops with the record that completes the sample. A limit
// of 0 takes nothing from lines, but still the first element of an array when it is not blank, and a single
// JSON value whole: for elements the limit is looked at only once an element has ended.
template <class Rules = json::FixedWidthRules, class Cutter>
std::optional<RecordError> sample_records(Cutter& cutter, std::uint64_t limit, Cut cut,
                                          json::Structure& structure) {
    if (cut == Cut::lines && limit == 0) return std::nullopt;
    json::ValueSink sink;
    std::string scratch;  // decoded strings with escapes, reused from record to record
    std::uint64_t taken = 0;
    Record record;
    while (taken < limit || taken == 0) {
        const Next next = cutter.next(record);
        if (next == Next::end) break;
        if (next == Next::error) return cutter.error();
        if (limit == 0 && cutter.cuts() > 1) break;  // the first element was blank
        json::ParseOutcome outcome = json::parse<Rules>(record.text, sink, scratch);
        if (!outcome.ok()) return cutter.syntax_error(record, outcome.error);
        const json::Value value = sink.take();
        structure.add(value, sink.levels());
        ++taken;
    }
    return std::nullopt;
}

}  // namespace tovak::records
