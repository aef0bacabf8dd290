// The few operating-system services the engine and the runner need, in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace common {

// Time as the engine sees it. Everything that waits or measures goes through
// a Clock, so tests step time instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, kept to 32 bits (wraps).
    virtual std::uint32_t tickMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// CLOCK_MONOTONIC and nanosleep.
Clock& systemClock();

struct DirEntry {
    std::string name;       // bare name, no directory part
    bool isDirectory = false;
    std::uint64_t size = 0;
};

// Case-insensitive mask match with "*" and "?"; "*.*" matches every name,
// with or without a dot.
bool matchMask(const std::string& mask, const std::string& name);

// Whether a text is a mask (holds "*" or "?").
bool isMask(const std::string& text);

// Lists the entries of `directory` whose names match `mask`, in
// case-insensitive name order (folded to upper case) ("." and ".." included when they match, as a
// directory search reports them). Returns false with errno-style `error` when
// the directory cannot be read.
bool findFiles(const std::string& directory, const std::string& mask,
               std::vector<DirEntry>& out, int& error);

// The entry for one path (no wildcards), if it exists.
std::optional<DirEntry> statPath(const std::string& path);

std::string currentDirectory();
// Also paths longer than PATH_MAX, one folder at a time.
bool changeDirectory(const std::string& path);

bool deleteFile(const std::string& path);
bool canOpenForRead(const std::string& path);

// A fresh random UUID in its 36-character text form.
std::string uuidText();
// Letters a to z (the first upper case when `capital`), from a random
// source that two calls in one millisecond do not share.
std::string randomLetters(int count, bool capital = false);

std::optional<std::string> environment(const char* name);

// A fresh private folder (mode 0700) in $TMPDIR or /tmp; empty when none
// can be made.
std::string makePrivateFolder();

// Flushes standard output and error, then ends the process.
[[noreturn]] void exitProcess(int status);

// Decimal text read the way atol does: leading white space, an optional sign,
// the digits that follow; 0 when there are none. Saturates instead of
// overflowing.
long long readDecimal(const std::string& text);

// A whole decimal number and nothing else (an optional "-", digits, no
// spaces or trailing characters), within [low, high]; none otherwise.
std::optional<long long> wholeNumber(const std::string& text, long long low, long long high);

}  // namespace common
