// Limits that the runner checks on its command line and the engine on its
// argument vector.
#pragma once

namespace common {

// Most connections a job may use at once.
inline constexpr int kMaxConnections = 64;

}  // namespace common
