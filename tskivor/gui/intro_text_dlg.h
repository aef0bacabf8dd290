// "Introducing post text": edits the intro text that precedes each post.
#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace tskivor {

class CIntroText : public QDialog {
    Q_OBJECT
public:
    explicit CIntroText(QWidget* parent = nullptr);
    QString text;  // the intro text; OK stores the field into it
    QPlainTextEdit* field() const { return field_; }
    int exec() override;

private:
    QPlainTextEdit* field_;
};

class CAbout : public QDialog {
    Q_OBJECT
public:
    explicit CAbout(QWidget* parent = nullptr);
};

}  // namespace tskivor
