// The main window "Tarvel Skivor v0.36 (Usenet News Binary Poster)": the
// fields of a posting job, the list of directories, profiles, the run
// command and the jobs list (a folder job per directory).
#pragma once

#include <QDialog>
#include <QListWidget>
#include <QTimer>

#include <functional>
#include <memory>

#include "intro_text_dlg.h"
#include "job_queue.h"
#include "runner_command.h"
#include "settings.h"

class QCheckBox;
class QLineEdit;
class QDragEnterEvent;
class QDropEvent;
class QMenuBar;
class QMimeData;
class QPlainTextEdit;
class QPushButton;
class QSettings;
class QTreeWidget;

namespace tskivor {

class CBalloonTip;
class Launcher;
class Prompts;

// The directories to post, kept sorted; duplicates allowed.
class CDirectoryList : public QListWidget {
    Q_OBJECT
public:
    CDirectoryList();
    void addDirectory(const QString& path);
    QStringList entries() const;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
};

class CMainDlg : public QDialog {
    Q_OBJECT
public:
    // `settingsFile` empty: the user's own last-used store.
    CMainDlg(Prompts& prompts, Launcher& launcher, const QString& settingsFile = QString(), QWidget* parent = nullptr);
    ~CMainDlg() override;

    // Profiles and intro texts.
    bool LoadProfile(const QString& path);
    bool SaveProfile(const QString& path);
    bool LoadIntroText(const QString& path);
    bool SaveIntroText(const QString& path);
    void RestoreLastUsed();
    void loadProfileCommand();
    void saveProfileCommand();

    void ApplyProfileToControls();
    void GatherControlsIntoProfile();
    MainFields fields() const;

    void runCommand();
    void addDirectoryCommand();
    void settingsCommand();
    void introduceCommand();

    bool profileLoaded() const { return profileLoaded_; }
    CSettings& settings() { return settings_; }
    CIntroText& introText() { return intro_; }
    CBalloonTip& balloon() { return *balloon_; }
    QSettings& lastUsedStore() { return *store_; }

    QLineEdit *subject, *separator, *author, *newsgroups, *reference, *filemask, *maxBandwidth, *nzbFile;
    QCheckBox *formattedSubject, *scramble;
    CDirectoryList* directories;
    QPushButton *addDirectory, *addFile, *post, *clearDirs, *loadProfile, *settingsButton, *introduce, *quit, *browseNzb;
    QMenuBar* menuBar;
    // The jobs list: a row per directory posted, with what its runner reports.
    QTreeWidget* jobsList;
    QPushButton *openNzbFolder, *cancelJob, *retryJob, *showLog, *clearJobs;
    // A job's whole log, as the runner wrote it (the log window shows it).
    QString jobLog(int row) const;
    // Retry: the job again with the settings as they are now, resuming.
    void retrySelectedJob();
    JobQueue& jobs() { return jobs_; }
    // Shows a folder in the file manager (tests look instead).
    std::function<void(const QString& folder)> openFolder;

    static QIcon programIcon();

    // The local folders and files among dropped data.
    static QStringList droppedPaths(const QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    void formattedSubjectClicked();
    void scrambleClicked();
    void say(const QString& text, const QString& caption, QWidget* owner = nullptr);
    void showJob(int row);
    void jobButtons();
    int selectedJob() const;
    void showLogWindow();

    Prompts& prompts_;
    Launcher& launcher_;
    std::unique_ptr<QSettings> store_;
    CSettings settings_;
    CIntroText intro_;
    CBalloonTip* balloon_ = nullptr;
    bool profileLoaded_ = false;
    JobQueue jobs_;
    QString jobsFile_;
    QTimer saveJobs_;
    QDialog* logWindow_ = nullptr;
    QPlainTextEdit* logText_ = nullptr;
    int logJob_ = 0;  // the job whose log the window shows
};

}  // namespace tskivor
