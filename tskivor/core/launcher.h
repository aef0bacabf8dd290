// Starting a folder runner: in a terminal window of its own, titled so the
// user leaves it open, or detached with its output in a log file when no
// terminal is there.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include "runner_command.h"

namespace tskivor {

inline const char* const kRunnerTitle = "Tarvel Skivo running. DO NOT CLOSE THIS WINDOW!";

class Launcher {
public:
    virtual ~Launcher() = default;
    struct Result {
        bool started = false;
        QString error;    // the system's text when not started
        QString logFile;  // set when the runner went to the background
    };
    virtual Result start(const RunnerCommand& command) = 0;
    // The runner program the jobs list starts (without a terminal).
    virtual QString runnerProgram() const = 0;
};

class ProcessLauncher final : public Launcher {
public:
    // `runner`: the tskivo program; `terminal`: how to find a terminal
    // (empty: $TERMINAL, x-terminal-emulator, xterm; "none": never).
    explicit ProcessLauncher(QString runner, QString terminal = QString());
    Result start(const RunnerCommand& command) override;
    QString runnerProgram() const override { return runner_; }
    // The terminal program that would be used, if any.
    std::optional<QString> terminal() const;

private:
    QString runner_;
    QString terminalChoice_;
};

// tskivo next to the running program.
QString runnerNextToProgram();

}  // namespace tskivor
