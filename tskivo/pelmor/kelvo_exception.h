// The engine's one exception type, and the internal signal that ends the process.
#pragma once

#include <string>
#include <utility>

// A job failure. retryable 0 is fatal for the job; any other value means the
// article may be tried again: after the retry wait (1), once at once and
// then no more, as waiting cannot mend it (kRetryOnce: refused credentials,
// a rejected certificate, a name that does not exist), or not at all for
// this file, which the server will not take, while the job goes on
// (kSkipFile).
struct Kelvo_Exception {
    int retryable = 0;
    std::string message;

    Kelvo_Exception(int retryable_, std::string message_)
        : retryable(retryable_), message(std::move(message_)) {}
};

namespace pelmor {

inline constexpr int kFatal = 0;
inline constexpr int kRetryLater = 1;
inline constexpr int kRetryOnce = 2;
inline constexpr int kSkipFile = 3;
// A few quick tries, then no more (nothing listens at the server's port).
inline constexpr int kRetryFew = 4;
inline constexpr int kFewTries = 3;

// Thrown where the engine must end the calling process ("-?", a part that
// cannot be encoded). Only postFolder turns it into a real process exit, so
// the rest of the engine stays testable in-process.
struct ProcessExit {
    int status;
};

// Thrown where a job stops because it was asked to (SIGINT, SIGTERM): what
// the server took is saved on the way out.
struct Interrupted {};

// Exit statuses: done, done with files skipped, interrupted, failed.
inline constexpr int kStatusDone = 0;
inline constexpr int kStatusSkipped = 1;
inline constexpr int kStatusInterrupted = 130;
inline constexpr int kStatusFailed = 255;

}  // namespace pelmor
