// Composing the folder runner's command for one directory, from the main
// window's fields and the profile record.
#pragma once

#include <QString>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "profile.h"

namespace tskivor {

// Removes leading and trailing characters of code 32 or less. Characters
// beyond ASCII are kept.
QString trimBlanks(const QString& text);

// 0 when the author is acceptable, else the number (1..7) of the first
// check that fails; authorMessage gives its text.
int checkAuthor(const QString& trimmedAuthor);
QString authorMessage(int check);

// The main window's fields as they stand, untrimmed.
struct MainFields {
    QString author, subject, separator, newsgroups, reference, filemask, maxBandwidth;
    bool scramble = false;
    bool formattedSubject = false;
};

struct Message {
    QString text, caption;
    enum class Owner { Dialog, AuthorField } owner = Owner::Dialog;
};

struct RunnerCommand {
    QStringList arguments;  // without the program
    // Reach the runner as TSKIVO_PASSWORD, TSKIVO_BACKUP_PASSWORD and
    // TSKIVO_PROXY, never on the command line (which others can read).
    std::optional<QString> password, backupPassword, proxy, archivePassword;
    QString nzbPath;  // the NZB file the runner writes
    QString introFile;  // the temporary intro-text file (/itf=), removed when the job is done with
};

// Whether the intro text is the user's: not empty, not the placeholder a
// fresh profile shows.
bool introWritten(const QString& introText);

// The command's secrets under the names the runner reads them by (none
// where the command has none).
std::vector<std::pair<QString, std::optional<QString>>> runnerSecrets(const RunnerCommand& command);
// The system's environment with the command's secrets (and none of an
// earlier run's).
QProcessEnvironment runnerEnvironment(const RunnerCommand& command);

// Creates a fresh temporary file holding the intro text; returns its path,
// or none when it cannot.
using IntroFileMaker = std::function<std::optional<QString>(const QString& introText)>;
// mkstemp in $TMPDIR (or /tmp), mode 0600, CR LF line ends.
std::optional<QString> makeIntroTempFile(const QString& introText);

// The command for one directory, or none when the directory is skipped.
// Messages to show are appended to `messages` in order.
std::optional<RunnerCommand> buildRunnerCommand(const MainFields& fields, const ProfileData& profile,
                                                const QString& introText, const QString& directory,
                                                std::vector<Message>& messages,
                                                const IntroFileMaker& makeIntroFile = makeIntroTempFile);

// The decimal value of the leading digits (0 when there are none).
int leadingNumber(const QString& text);

// Where the runner of `directory` keeps its NZB file when the profile
// names none (and which "Resume an interrupted posting" resumes from): in
// the user's data folder.
QString resumeNzbPath(const QString& directory);

}  // namespace tskivor
