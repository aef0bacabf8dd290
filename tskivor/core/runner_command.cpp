#include "runner_command.h"

#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QStandardPaths>

#include "colour.h"
#include "intro_text.h"

namespace tskivor {

QString trimBlanks(const QString& text) {
    qsizetype from = 0, to = text.size();
    while (from < to && text[from].unicode() <= 32) ++from;
    while (to > from && text[to - 1].unicode() <= 32) --to;
    return text.mid(from, to - from);
}

int checkAuthor(const QString& a) {
    for (QChar c : a) {
        const char16_t u = c.unicode();
        const bool ok = u == ' ' || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                        u == '-' || u == '_' || u == '.' || u == '<' || u == '>' || u == '@';
        if (!ok) return 1;
    }
    const qsizetype lt = a.indexOf('<'), gt = a.indexOf('>');
    if (lt < 0 || gt < 0) return 2;
    if (gt < lt) return 3;
    const qsizetype at = a.indexOf('@');
    if (at < 0) return 4;
    if (at < lt || at > gt) return 5;
    if (gt != a.size() - 1) return 6;
    if (a.indexOf(' ', lt) >= 0) return 7;
    return 0;
}

QString authorMessage(int check) {
    switch (check) {
        case 1: return QStringLiteral("Illegal character found in author.");
        case 2: return QStringLiteral("< and > is required in declaration of author");
        case 3: return QStringLiteral("< must be placed prior to >");
        case 4: return QStringLiteral("@ is required in the declaration of author");
        case 5: return QStringLiteral("@ must be plave inside the < > of the declaration of author");
        case 6: return QStringLiteral("> must be the termination character");
        case 7: return QStringLiteral("' ' (space) is not allowed inside the < > declaration");
        default: return QString();
    }
}

int leadingNumber(const QString& text) {
    long long v = 0;
    for (QChar c : text) {
        if (c < '0' || c > '9') break;
        v = v * 10 + (c.unicode() - '0');
        if (v > 0x7FFFFFFF) return 0x7FFFFFFF;
    }
    return static_cast<int>(v);
}

QString resumeNzbPath(const QString& directory) {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/tarvel-skivor/nzb");
    QDir().mkpath(base);
    QString name = directory;
    for (QChar& c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('.')) c = QLatin1Char('_');
    return base + QLatin1Char('/') + name.right(200) + QStringLiteral(".nzb");
}

std::vector<std::pair<QString, std::optional<QString>>> runnerSecrets(const RunnerCommand& command) {
    return {{QStringLiteral("TSKIVO_PASSWORD"), command.password},
            {QStringLiteral("TSKIVO_BACKUP_PASSWORD"), command.backupPassword},
            {QStringLiteral("TSKIVO_PROXY"), command.proxy},
            {QStringLiteral("TSKIVO_ARCHIVE_PASSWORD"), command.archivePassword}};
}

QProcessEnvironment runnerEnvironment(const RunnerCommand& command) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : runnerSecrets(command)) {
        env.remove(name);
        if (value) env.insert(name, *value);
    }
    return env;
}

std::optional<QString> makeIntroTempFile(const QString& introText) {
    QByteArray name = QFile::encodeName(QDir::tempPath() + QStringLiteral("/tskivo-intro-XXXXXX"));
    const int fd = mkstemp(name.data());  // mode 0600, a name nobody else holds
    if (fd < 0) return std::nullopt;
    const bool ok = writeIntroFd(fd, introText);
    ::close(fd);
    if (!ok) {
        ::unlink(name.constData());
        return std::nullopt;
    }
    return QFile::decodeName(name);
}

std::optional<RunnerCommand> buildRunnerCommand(const MainFields& f, const ProfileData& p, const QString& introText,
                                                const QString& directory, std::vector<Message>& messages,
                                                const IntroFileMaker& makeIntroFile) {
    RunnerCommand cmd;
    QStringList& a = cmd.arguments;
    const QString author = trimBlanks(f.author);
    if (const int failed = checkAuthor(author)) {
        messages.push_back({authorMessage(failed), QStringLiteral("Author error"), Message::Owner::AuthorField});
        return std::nullopt;
    }
    a << (f.scramble ? QStringLiteral("/scramble") : author);
    a << trimBlanks(f.subject) << directory << trimBlanks(f.newsgroups) << QString::fromStdString(p.server);

    const QString reference = trimBlanks(f.reference);
    if (reference.isEmpty() || (reference.startsWith('<') && reference.endsWith('>'))) {
        a << reference;
    } else {
        messages.push_back({QStringLiteral("A reference needs to be enclosed in < >. Your reference will be ignored."),
                            QStringLiteral("Reference error")});
        a << QString();
    }
    const QString filemask = trimBlanks(f.filemask);
    if (!filemask.contains('*') && !filemask.contains('?')) {
        messages.push_back({QStringLiteral("Your filemask is not accepted. Use a combination of * and/or ?. Your "
                                           "wish to post will be ignored."),
                            QStringLiteral("Filemask error")});
        return std::nullopt;
    }
    a << filemask;

    if (p.uuencodeFirstOnly) a << QStringLiteral("/uutease");
    const QString bandwidth = trimBlanks(f.maxBandwidth);
    if (leadingNumber(bandwidth) > 0) a << QStringLiteral("/maxbw=") + bandwidth;
    // Each value is one argument of its own: no quoting, so a single
    // backslash needs no doubling and quotes inside a value travel intact.
    if (!f.separator.isEmpty()) a << QStringLiteral("/fs=") + f.separator;
    if (f.formattedSubject && !f.subject.isEmpty()) a << QStringLiteral("/sf=") + f.subject;
    if (p.maxLines != 0) a << QStringLiteral("/maxlines=%1").arg(p.maxLines);
    if (p.useUuencoding) a << QStringLiteral("/uuencode");
    if (p.nonFolderLikeSubject) a << QStringLiteral("/nfl");
    if (p.contactSheets) {
        a << QStringLiteral("/ics");
        if (!p.authorLogo.empty()) a << QStringLiteral("/al=") + QString::fromStdString(p.authorLogo);
        if (!p.backgroundImage.empty()) a << QStringLiteral("/bi=") + QString::fromStdString(p.backgroundImage);
        a << QStringLiteral("/fc=") + colourText(p.fontColour);
        a << QStringLiteral("/bc=") + colourText(p.backgroundColour);
    }
    if (p.useAuthentication) {
        a << QStringLiteral("/u=") + QString::fromStdString(p.userName);
        cmd.password = QString::fromStdString(p.password);
    }
    // The stored port reaches the runner; 119 is its default anyway.
    if (p.port != 119 && p.port > 0) a << QStringLiteral("/port=%1").arg(p.port);
    if (p.useTls()) a << QStringLiteral("/ssl");
    if (p.connections() > 1) a << QStringLiteral("/conn=%1").arg(p.connections());
    if (p.checkPosts()) a << QStringLiteral("/check");
    if (const Par2Settings par2 = p.par2(); par2.on) {
        a << QStringLiteral("/par2=%1").arg(par2.percent);
        if (par2.files > 0) a << QStringLiteral("/par2files=%1").arg(par2.files);
        if (par2.equal) a << QStringLiteral("/par2equal");
        if (par2.blocks > 0) a << QStringLiteral("/par2blocks=%1").arg(par2.blocks);
        if (par2.blockSize > 0) a << QStringLiteral("/par2blocksize=%1").arg(par2.blockSize);
    }
    const ProfileExtras& x = p.extras;
    if (!x.backupServer.empty()) {
        a << QStringLiteral("/backup=") + QString::fromStdString(x.backupServer);
        if (!x.backupUser.empty()) {
            a << QStringLiteral("/backupuser=") + QString::fromStdString(x.backupUser);
            cmd.backupPassword = QString::fromStdString(x.backupPassword);
        }
        if (x.backupTls) a << QStringLiteral("/backupssl");
    }
    if (!x.proxy.empty()) cmd.proxy = QString::fromStdString(x.proxy);
    if (x.privatePosting) a << QStringLiteral("/obfuscate");
    for (const auto& [option, value] : {std::pair{"/nzbtitle=", &x.nzbTitle}, std::pair{"/nzbpassword=", &x.nzbPassword},
                                        std::pair{"/nzbcategory=", &x.nzbCategory}})
        if (!value->empty()) a << QString::fromLatin1(option) + QString::fromStdString(*value);
    if (!x.checkServer.empty()) a << QStringLiteral("/checkserver=") + QString::fromStdString(x.checkServer);
    if (x.checkDelay >= 0) a << QStringLiteral("/checkdelay=%1").arg(x.checkDelay);
    if (!x.domain.empty()) a << QStringLiteral("/domain=") + QString::fromStdString(x.domain);
    for (const QString& tag : QString::fromStdString(x.nzbTags).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!tag.trimmed().isEmpty()) a << QStringLiteral("/nzbtag=") + tag.trimmed();
    if (!x.afterCommand.empty()) a << QStringLiteral("/after=") + QString::fromStdString(x.afterCommand);
    if (x.archive) {
        a << QStringLiteral("/archive");
        if (x.volumeMiB != 50) a << QStringLiteral("/volume=%1").arg(x.volumeMiB);
        if (!x.archivePassword.empty()) cmd.archivePassword = QString::fromStdString(x.archivePassword);
    }
    // Always an NZB file: the profile's, else one per directory kept with
    // the front end's data (never among the pictures to post), which
    // "Resume" and a retry resume from.
    cmd.nzbPath = x.nzbPath.empty() ? resumeNzbPath(directory) : QString::fromStdString(x.nzbPath);
    if (x.eachRelease) {
        // A release per subfolder: their NZB files in a folder (named after
        // the directory, beside where its one NZB file would be).
        QString dir = cmd.nzbPath;
        if (!dir.endsWith(QLatin1Char('/')))
            dir = x.nzbPath.empty() ? dir.chopped(4) + QLatin1Char('/') : QFileInfo(dir).absolutePath() + QLatin1Char('/');
        cmd.nzbPath = dir;
        a << QStringLiteral("/each") << QStringLiteral("/nzbdir=") + dir;
    } else {
        a << QStringLiteral("/nzb=") + cmd.nzbPath;
    }
    if (p.resume()) a << QStringLiteral("/resume");
    if (introWritten(introText)) {
        if (const auto file = makeIntroFile(introText)) {
            a << QStringLiteral("/itf=") + *file;
            cmd.introFile = *file;
        }
    }
    return cmd;
}

bool introWritten(const QString& introText) {
    const QString text = introText.trimmed();
    return !text.isEmpty() && text != QString::fromUtf8(kDefaultIntroText);
}

}  // namespace tskivor
