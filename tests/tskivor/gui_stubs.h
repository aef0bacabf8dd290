// Stand-ins for the user's answers and for starting runners, so that the
// dialogs run under the offscreen platform without windows of their own.
#pragma once

#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "launcher.h"
#include "prompts.h"

namespace tskivor_testing {

struct ShownMessage {
    QString text, caption;
    tskivor::MessageIcon icon;
    QWidget* owner;
};

class StubPrompts final : public tskivor::Prompts {
public:
    std::vector<ShownMessage> messages;
    std::deque<std::optional<QString>> files;    // answers to open/save dialogs
    std::deque<std::optional<QString>> folders;  // answers to the folder dialog
    std::deque<std::optional<std::uint32_t>> colours;
    std::vector<std::uint32_t> colourRequests;
    QStringList filters;
    std::function<void()> onMessage;  // runs while the message would be on screen

    void message(QWidget* owner, const QString& text, const QString& caption, tskivor::MessageIcon icon) override {
        messages.push_back({text, caption, icon, owner});
        if (onMessage) onMessage();
    }
    std::deque<bool> answers;  // to questions; Yes when none is left
    QStringList questions;
    bool ask(QWidget*, const QString& text, const QString&) override {
        questions << text;
        if (answers.empty()) return true;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    std::optional<QString> openFile(QWidget*, const QString& f) override { return next(files, f); }
    std::optional<QString> saveFile(QWidget*, const QString& f) override { return next(files, f); }
    std::optional<QString> folder(QWidget*, const QString& title) override { return next(folders, title); }
    std::optional<std::uint32_t> pickColour(QWidget*, std::uint32_t initial) override {
        colourRequests.push_back(initial);
        if (colours.empty()) return std::nullopt;
        auto c = colours.front();
        colours.pop_front();
        return c;
    }
    QStringList texts() const {
        QStringList out;
        for (const auto& m : messages) out << m.text;
        return out;
    }

private:
    std::optional<QString> next(std::deque<std::optional<QString>>& q, const QString& f) {
        filters << f;
        if (q.empty()) return std::nullopt;
        auto v = q.front();
        q.pop_front();
        return v;
    }
};

class StubLauncher final : public tskivor::Launcher {
public:
    std::vector<tskivor::RunnerCommand> started;
    QString runner;  // the program the jobs list starts
    QString runnerProgram() const override { return runner; }
    bool fail = false;
    bool noTerminal = false;  // started in the background, with a log file
    Result start(const tskivor::RunnerCommand& c) override {
        if (fail) return {false, QStringLiteral("No such file or directory"), QString()};
        started.push_back(c);
        return {true, QString(), noTerminal ? QStringLiteral("/tmp/run%1.log").arg(started.size()) : QString()};
    }
};

}  // namespace tskivor_testing
