#include "last_used.h"

#include <QFileInfo>

namespace tskivor {

std::unique_ptr<QSettings> openLastUsedStore(const QString& file) {
    if (!file.isEmpty()) return std::make_unique<QSettings>(file, QSettings::IniFormat);
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ferrow Works"),
                                       QString());
}

bool lastUsedStoreExists(const QSettings& store) { return QFileInfo::exists(store.fileName()); }

void writeDefaultLastUsed(QSettings& store, const QString& directory) {
    const QString dir = directory.endsWith('/') ? directory : directory + '/';
    store.setValue(kLastUsedProfile, dir + QStringLiteral("default.tprf"));
    store.setValue(kLastUsedIntroText, dir + QStringLiteral("default.ttxt"));
    store.sync();
}

std::optional<QString> lastUsedValue(const QSettings& store, const char* key) {
    if (!store.contains(key)) return std::nullopt;
    const QString value = store.value(key).toString();
    if (value.toUtf8().size() > kMaxStoredPath) return std::nullopt;
    return value;
}

void rememberLastUsed(QSettings& store, const QString& profilePath, const QString& introPath) {
    // A value deleted by hand is not written again.
    if (lastUsedValue(store, kLastUsedProfile)) store.setValue(kLastUsedProfile, profilePath);
    if (lastUsedValue(store, kLastUsedIntroText)) store.setValue(kLastUsedIntroText, introPath);
    store.sync();
}

}  // namespace tskivor
