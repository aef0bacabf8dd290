#include "intro_text_dlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>
#include <QVBoxLayout>

namespace tskivor {

CIntroText::CIntroText(QWidget* parent) : QDialog(parent), field_(new QPlainTextEdit) {
    setWindowTitle(QStringLiteral("Introducing post text"));
    field_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    field_->setTabChangesFocus(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        text = field_->toPlainText();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* l = new QVBoxLayout(this);
    l->addWidget(field_);
    l->addWidget(buttons);
    resize(480, 320);
}

int CIntroText::exec() {
    field_->setPlainText(text);
    return QDialog::exec();
}

CAbout::CAbout(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    auto* icon = new QLabel;
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    auto* words = new QLabel(QStringLiteral("Tarvel Skivor v0.36\nUsenet News Binary Poster\n\n"
                                            "Posts folders of pictures and other files\n"
                                            "to Usenet, yEnc or uuencoded."));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addWidget(words);
    auto* l = new QVBoxLayout(this);
    l->addLayout(top);
    l->addWidget(buttons);
}

}  // namespace tskivor
