#include "tick_time.h"

#include <string>

namespace pelmor {

TickTime tickTime(std::uint32_t ticks) {
    return TickTime{static_cast<std::int32_t>(ticks / 1000), static_cast<std::int32_t>((ticks % 1000) * 1000)};
}

TickTime tickTime(common::Clock& clock) { return tickTime(clock.tickMs()); }

std::int32_t elapsedMicros(common::Log& log, TickTime later, TickTime earlier) {
    const long long diff = (static_cast<long long>(later.seconds) - earlier.seconds) * 1000000LL +
                           later.microseconds - earlier.microseconds;
    if (diff < 0) {
        log.line("BAD TIMEVALS: [" + std::to_string(later.seconds) + "-" + std::to_string(later.microseconds) +
                 " ], [" + std::to_string(earlier.seconds) + "-" + std::to_string(earlier.microseconds) + " ]");
    }
    return static_cast<std::int32_t>(diff);
}

}  // namespace pelmor
