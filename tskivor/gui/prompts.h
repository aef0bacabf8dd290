// The dialogs the front end asks the user through: message boxes, file and
// folder choosers, the colour picker. One interface, so that tests answer
// them without windows of their own.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

class QWidget;

namespace tskivor {

enum class MessageIcon { None, Error, Information };

class Prompts {
public:
    virtual ~Prompts() = default;
    virtual void message(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon) = 0;
    // `filters` in Qt's form ("Name (*.a *.b);;All (*)"); none on cancel.
    virtual std::optional<QString> openFile(QWidget* owner, const QString& filters) = 0;
    virtual std::optional<QString> saveFile(QWidget* owner, const QString& filters) = 0;
    virtual std::optional<QString> folder(QWidget* owner, const QString& title) = 0;
    // Platform colour form in and out (red in the low byte); none on cancel.
    virtual std::optional<std::uint32_t> pickColour(QWidget* owner, std::uint32_t initial) = 0;
    // A question with Yes and No; true for Yes.
    virtual bool ask(QWidget* owner, const QString& text, const QString& caption) = 0;
};

// The real dialogs.
class QtPrompts final : public Prompts {
public:
    void message(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon) override;
    std::optional<QString> openFile(QWidget* owner, const QString& filters) override;
    std::optional<QString> saveFile(QWidget* owner, const QString& filters) override;
    std::optional<QString> folder(QWidget* owner, const QString& title) override;
    std::optional<std::uint32_t> pickColour(QWidget* owner, std::uint32_t initial) override;
    bool ask(QWidget* owner, const QString& text, const QString& caption) override;
};

}  // namespace tskivor
