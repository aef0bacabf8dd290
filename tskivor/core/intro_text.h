// Intro-text files (".ttxt"): plain text stored with CR LF line ends, read
// back with LF; and the profile/intro-text pairs of file names.
#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace tskivor {

inline const char* const kDefaultIntroText = "<< Place your post introduction text here >>";

// The intro-text path that belongs to a profile path: the first ".tprf"
// (exact case) and all after it become ".ttxt". None without ".tprf".
std::optional<QString> companionTextPath(const QString& profilePath);

// The profile and intro-text paths for a name typed in the save dialog.
std::pair<QString, QString> saveNames(const QString& chosen);

enum class IntroRead { Read, CannotOpen, NoEntry };
// Reads an intro-text file. `text` is replaced only when the file holds
// text; an empty file (or one that starts with NUL) leaves it as it was.
IntroRead readIntroFile(const QString& path, QString& text);

// Writes `text` with CR LF line ends to `path`; false when it cannot be
// created.
bool writeIntroFile(const QString& path, const QString& text);
// The same into an open descriptor (a fresh temporary file).
bool writeIntroFd(int fd, const QString& text);

}  // namespace tskivor
