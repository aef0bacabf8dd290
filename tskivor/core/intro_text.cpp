#include "intro_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "common/replace_file.h"
#include "common/write_all.h"

namespace tskivor {

std::optional<QString> companionTextPath(const QString& profilePath) {
    const qsizetype at = profilePath.indexOf(QStringLiteral(".tprf"), 0, Qt::CaseSensitive);
    if (at < 0) return std::nullopt;
    return profilePath.left(at) + QStringLiteral(".ttxt");
}

std::pair<QString, QString> saveNames(const QString& chosen) {
    if (chosen.size() > 5 && chosen.right(5).compare(QStringLiteral(".tprf"), Qt::CaseInsensitive) == 0)
        return {chosen, chosen.left(chosen.size() - 5) + QStringLiteral(".ttxt")};
    return {chosen + QStringLiteral(".tprf"), chosen + QStringLiteral(".ttxt")};
}

IntroRead readIntroFile(const QString& path, QString& text) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return IntroRead::CannotOpen;
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return IntroRead::NoEntry;
    QByteArray bytes = file.read(static_cast<qint64>(st.st_size));
    bytes.replace("\r\n", "\n");
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    if (!bytes.isEmpty()) text = QString::fromUtf8(bytes);
    return IntroRead::Read;
}

namespace {
QByteArray textModeBytes(const QString& text) {
    QByteArray bytes = text.toUtf8();
    bytes.replace("\r\n", "\n");  // a CR LF typed in stays one line end
    bytes.replace("\n", "\r\n");
    return bytes;
}
}  // namespace

bool writeIntroFd(int fd, const QString& text) {
    const QByteArray bytes = textModeBytes(text);
    return common::writeAll(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool writeIntroFile(const QString& path, const QString& text) {
    const QByteArray bytes = textModeBytes(text);
    return common::replaceFile(QFile::encodeName(path).toStdString(),
                               std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), 0644);
}

}  // namespace tskivor
