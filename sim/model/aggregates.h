// Per-interval aggregate computation for processed reads. Internal to the model.
#pragma once

#include "historian.h"

#include <optional>

namespace hdasim {

// What one interval [begin, end) offers to an aggregate.
struct IntervalInput {
    Ticks begin = 0, end = 0;
    bool stepped = false;
    std::vector<Value> raw;                      // every raw value in [begin, end), ascending
    std::optional<std::uint32_t> qualityBefore;  // quality of the last raw value before begin
    Value interpolatedAtBegin;                   // as ReadAtTime(begin) answers
    Value interpolatedAtEnd;                     // as ReadAtTime(end) answers
};

bool IsSupportedAggregate(std::uint32_t aggregate);
// Aggregates that need numeric values (refused for text items).
bool IsNumericAggregate(std::uint32_t aggregate);

// One value for the interval. Precondition: IsSupportedAggregate(aggregate).
Value ComputeAggregate(std::uint32_t aggregate, const IntervalInput& in);

std::vector<AggregateInfo> AggregateCatalogue();

}  // namespace hdasim
