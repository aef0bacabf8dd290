#include "launcher.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

namespace tskivor {

QString runnerNextToProgram() { return QCoreApplication::applicationDirPath() + QStringLiteral("/tskivo"); }

ProcessLauncher::ProcessLauncher(QString runner, QString terminal)
    : runner_(std::move(runner)), terminalChoice_(std::move(terminal)) {}

std::optional<QString> ProcessLauncher::terminal() const {
    if (terminalChoice_ == QStringLiteral("none")) return std::nullopt;
    QStringList candidates;
    if (!terminalChoice_.isEmpty()) {
        candidates << terminalChoice_;
    } else {
        const QString fromEnvironment = qEnvironmentVariable("TERMINAL");
        if (!fromEnvironment.isEmpty()) candidates << fromEnvironment;
        candidates << QStringLiteral("x-terminal-emulator") << QStringLiteral("xterm");
    }
    for (const QString& c : candidates) {
        const QString found = QStandardPaths::findExecutable(c);
        if (!found.isEmpty()) return found;
    }
    return std::nullopt;
}

Launcher::Result ProcessLauncher::start(const RunnerCommand& command) {
    Result result;
    const QFileInfo runner(runner_);
    if (!runner.exists()) {
        result.error = QString::fromLocal8Bit(std::strerror(ENOENT));
        return result;
    }
    if (!runner.isExecutable()) {
        result.error = QString::fromLocal8Bit(std::strerror(EACCES));
        return result;
    }
    QProcess process;
    process.setProcessEnvironment(runnerEnvironment(command));
    process.setWorkingDirectory(QDir::currentPath());
    if (const auto term = terminal()) {
        // Every xterm-like terminal (and Debian's x-terminal-emulator
        // alternatives) takes -T for the title and runs what follows -e as
        // an argument vector, without a shell.
        process.setProgram(*term);
        process.setArguments(QStringList{QStringLiteral("-T"), QString::fromUtf8(kRunnerTitle), QStringLiteral("-e"),
                                         runner_} +
                             command.arguments);
    } else {
        QByteArray name = QFile::encodeName(QDir::tempPath() + QStringLiteral("/tskivo-run-XXXXXX.log"));
        const int fd = mkstemps(name.data(), 4);
        if (fd < 0) {
            result.error = QString::fromLocal8Bit(std::strerror(errno));
            return result;
        }
        ::close(fd);
        result.logFile = QFile::decodeName(name);
        process.setProgram(runner_);
        process.setArguments(command.arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(result.logFile, QIODevice::Append);
        process.setStandardErrorFile(result.logFile, QIODevice::Append);
    }
    errno = 0;
    result.started = process.startDetached();
    if (!result.started) {
        result.error = errno ? QString::fromLocal8Bit(std::strerror(errno)) : process.errorString();
    }
    return result;
}

}  // namespace tskivor
