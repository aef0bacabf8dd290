// Points in time from the millisecond tick counter, for rates and timings.
#pragma once

#include <cstdint>

#include "common/log.h"
#include "common/platform.h"

namespace pelmor {

struct TickTime {
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};

TickTime tickTime(common::Clock& clock);
TickTime tickTime(std::uint32_t ticks);
// later - earlier in microseconds; says "BAD TIMEVALS" when later is earlier.
std::int32_t elapsedMicros(common::Log& log, TickTime later, TickTime earlier);

}  // namespace pelmor
