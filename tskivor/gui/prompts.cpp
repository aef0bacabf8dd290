#include "prompts.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "color_picker.h"

namespace tskivor {

void QtPrompts::message(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon) {
    const QMessageBox::Icon i = icon == MessageIcon::Error         ? QMessageBox::Critical
                                : icon == MessageIcon::Information ? QMessageBox::Information
                                                                   : QMessageBox::NoIcon;
    QMessageBox box(i, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

bool QtPrompts::ask(QWidget* owner, const QString& text, const QString& caption) {
    return QMessageBox::question(owner, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

std::optional<QString> QtPrompts::openFile(QWidget* owner, const QString& filters) {
    const QString path = QFileDialog::getOpenFileName(owner, QString(), QDir::currentPath(), filters);
    if (path.isEmpty()) return std::nullopt;
    return path;
}

std::optional<QString> QtPrompts::saveFile(QWidget* owner, const QString& filters) {
    // QFileDialog asks before an existing file is overwritten.
    const QString path = QFileDialog::getSaveFileName(owner, QString(), QDir::currentPath(), filters);
    if (path.isEmpty()) return std::nullopt;
    return path;
}

std::optional<QString> QtPrompts::folder(QWidget*, const QString& title) {
    const QString path = QFileDialog::getExistingDirectory(nullptr, title);
    if (path.isEmpty()) return std::nullopt;
    return path;
}

std::optional<std::uint32_t> QtPrompts::pickColour(QWidget* owner, std::uint32_t initial) {
    CColorPicker picker(initial, owner);
    if (picker.exec() != QDialog::Accepted) return std::nullopt;
    return platformColour(picker.rgb());
}

}  // namespace tskivor
