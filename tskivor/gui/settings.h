// The settings sheet: four pages that edit what the main window does not
// show. Each page keeps its values itself and trades them with its controls
// when shown and when left; the profile record moves only to and from those
// values.
#pragma once

#include <functional>

#include <QDialog>
#include <QWidget>

#include <cstdint>

#include "profile.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;

namespace tskivor {

class Prompts;

class SettingsPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual void showValues() = 0;
    // False when a control holds something the page cannot take; the page
    // is then brought to the front before it says why.
    virtual bool takeValues() = 0;
    std::function<void()> bringToFront;

protected:
    // Brings the page to the front, says why it cannot take its values and
    // puts the focus on the field concerned; false, for takeValues.
    bool refuse(Prompts& prompts, const QString& why, QWidget* field = nullptr);
};

class CSettingsPostStyle : public SettingsPage {
    Q_OBJECT
public:
    CSettingsPostStyle();
    struct Values {
        bool uuencodeFirstOnly = false, useUuencoding = false, nonFolderLike = true, contactSheets = false;
        bool checkPosts = false, resume = false;
        bool terminal = false, privatePosting = false;
        QString nzbTitle, nzbPassword, nzbCategory;
        bool archive = false;
        QString archivePassword;
        int volumeMiB = 50;
        QString checkServer;
        int checkDelay = -1;
        QString domain, afterCommand, nzbTags;
        bool eachRelease = false;
    } values;
    void showValues() override;
    bool takeValues() override;
    QCheckBox *uuencodeFirstOnly, *useUuencoding, *nonFolderLike, *contactSheets, *checkPosts, *resume;
    QCheckBox *terminal, *privatePosting, *eachRelease;
    QLineEdit *nzbTitle, *nzbPassword, *nzbCategory;
    QCheckBox* archive;
    QLineEdit* archivePassword;
    QSpinBox* volumeMiB;
    QLineEdit *checkServer, *domain, *afterCommand, *nzbTags;
    QSpinBox* checkDelay;

private:
    void enforceUuencodeRule();
};

class CSettingsContactSheet : public SettingsPage {
    Q_OBJECT
public:
    explicit CSettingsContactSheet(Prompts& prompts);
    struct Values {
        QString authorLogo, fontColour, backgroundColour, backgroundImage;
    } values;
    void showValues() override;
    bool takeValues() override;
    QLineEdit *authorLogo, *fontColour, *backgroundColour, *backgroundImage;

private:
    void chooseImage(QLineEdit* field);
    void chooseColour(QLineEdit* field, QString& value);
    Prompts& prompts_;
};

class CSettingsServer : public SettingsPage {
    Q_OBJECT
public:
    explicit CSettingsServer(Prompts& prompts);
    struct Values {
        QString server = QStringLiteral("news.example.net");
        int port = 119;
        int maxLines = 2500;
        bool useAuthentication = false;
        QString userName, password;
        bool useTls = false;
        int connections = 1;
        int jobsAtOnce = 1;
        QString backupServer, backupUser, backupPassword;
        bool backupTls = false;
        QString proxy;
    } values;
    void showValues() override;
    bool takeValues() override;
    QLineEdit *server, *port, *maxLines, *userName, *password, *connections, *jobsAtOnce;
    QLineEdit *backupServer, *backupUser, *backupPassword, *proxy;
    QCheckBox *useAuthentication, *useTls, *backupTls;
    QPushButton* testConnection;
    // The runner program the test runs ("tskivo --test-server").
    std::function<QString()> runnerProgram;
    QString lastTest;  // what the last test said
    void testServer();

private:
    void authenticationClicked();
    void tlsClicked();
    Prompts& prompts_;
};

class CSettingsPAR2 : public SettingsPage {
    Q_OBJECT
public:
    explicit CSettingsPAR2(Prompts& prompts);
    Par2Settings values;
    void showValues() override;
    bool takeValues() override;
    QCheckBox* create;
    QSlider* recovery;
    QLabel* recoveryValue;  // the slider's value, "15%"
    QLineEdit *generate, *blockCount, *blockSize;
    QCheckBox* equalFileSizes;

private:
    void createClicked();
    Prompts& prompts_;
};

class CSettings : public QDialog {
    Q_OBJECT
public:
    explicit CSettings(Prompts& prompts, QWidget* parent = nullptr);
    ~CSettings() override;

    ProfileData& profile() { return profile_; }
    void ApplyProfileToPages();
    void GatherPagesIntoProfile();

    CSettingsPostStyle postStyle;
    CSettingsContactSheet contactSheet;
    CSettingsServer server;
    CSettingsPAR2 par2;
    QTabWidget* tabs() const { return tabs_; }
    QDialogButtonBox* buttons() const { return buttons_; }

protected:
    void showEvent(QShowEvent*) override;

private:
    SettingsPage* page(int index) const;
    void tabChanged(int index);
    void okClicked();

    ProfileData profile_;  // zero-filled until a profile or the defaults come
    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    int shownTab_ = 0;
};

// A validator that holds a text to what a profile text field can store
// (260 bytes of UTF-8), so nothing is cut when it is saved.
void limitToField(QLineEdit* field, std::size_t maxBytes = kTextMaxBytes);
// Read-only fields look it: the window's colour behind greyed text.
void setEditable(QLineEdit* field, bool editable);
// A right-aligned field that takes digits only.
QLineEdit* digitsField();

}  // namespace tskivor
