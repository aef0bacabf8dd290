// The pair of files last used, kept through QSettings under the organisation
// "Ferrow Works" (values LastUsedProfile and LastUsedIntroText).
#pragma once

#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

namespace tskivor {

inline constexpr int kMaxStoredPath = 259;

// The settings store: `file` empty means the user's own.
std::unique_ptr<QSettings> openLastUsedStore(const QString& file = QString());
// Whether the store exists at all (the registry key of the original).
bool lastUsedStoreExists(const QSettings& store);

// Creates the store with default.tprf and default.ttxt in `directory`.
void writeDefaultLastUsed(QSettings& store, const QString& directory);
// Replaces each value only where it exists and fits.
void rememberLastUsed(QSettings& store, const QString& profilePath, const QString& introPath);
// A stored value, when present and no longer than a path may be.
std::optional<QString> lastUsedValue(const QSettings& store, const char* key);

inline constexpr const char* kLastUsedProfile = "LastUsedProfile";
inline constexpr const char* kLastUsedIntroText = "LastUsedIntroText";

}  // namespace tskivor
