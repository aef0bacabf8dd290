#include "main_dlg.h"

#include "common/name_order.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStyledItemDelegate>
#include <QPushButton>
#include <QHeaderView>
#include <QStandardPaths>
#include <QStyle>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "balloon_tip.h"
#include "intro_text.h"
#include "last_used.h"
#include "launcher.h"
#include "prompts.h"

namespace tskivor {

namespace {

const char* const kFormatHint =
    "Format specifiers:\n"
    "  $D = Directory\n"
    "  $B = Bytes\n"
    "  $K = Kilobytes\n"
    "  $M = Megabytes\n"
    "  $1 = File number\n"
    "  $2 = File count\n"
    "  $F = Filename (required)\n"
    "\n"
    "Example 1: Oaks - '$D' [$1/$2] $Kkb - $F\n"
    "Example 2: Pines\\$D\\ No. $1 of $2 - $F";

const char* const kSeparatorHint =
    "This seperator is used within\n"
    "the $D (directory name) if the\n"
    "folder currently being posted\n"
    "is more than 1 level deep.\n"
    "\n"
    "Example 1: \\\n"
    "Example 2: \" - \" (without \")";

const char* const kProfileFilters = "Tarvel Profile (*.tprf *.prf);;All (*)";
const char* const kSaveFilters = "Tarvel post profile (*.tprf *.prf);;All (*)";

QLineEdit* textField(std::size_t maxBytes = kTextMaxBytes) {
    auto* f = new QLineEdit;
    limitToField(f, maxBytes);
    return f;
}

// Reads a field as the run command does: at most 258 characters.
QString upTo258(const QLineEdit* f) { return f->text().left(258); }

QString sizeText(double bytes) {
    const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (bytes >= 1000 && u < 4) {
        bytes /= 1000;
        ++u;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', u == 0 ? 0 : 1).arg(QLatin1String(units[u]));
}

QString durationText(std::int64_t seconds) {
    if (seconds < 0) return QString();
    const auto h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    return h ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'))
             : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

// The result column elides at its end: its start says what happened.
class ElideRightDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideRight;
    }
};

// The last column of a job's row: its totals, or why it failed.
QString resultText(const Job& j) {
    const QString nzb = QStringLiteral("NZB: ") + j.command.nzbPath;
    switch (j.state) {
        case Job::State::Done: {
            QString t = QStringLiteral("%1 in %2 articles, %3 s").arg(sizeText(static_cast<double>(j.bytes))).arg(j.articles).arg(j.seconds, 0, 'f', 1);
            if (j.reposted) t += QStringLiteral(", %1 posted again").arg(j.reposted);
            if (j.skipped) t += QStringLiteral(", %1 skipped").arg(j.skipped);
            return t + QStringLiteral(". ") + nzb;
        }
        case Job::State::Failed:
            return (j.status >= 0 ? QStringLiteral("Status %1: ").arg(j.status) : QString()) + errorGist(j.error);
        case Job::State::Cancelled:
            return j.status == 130 ? QStringLiteral("Stopped; Retry finishes it. ") + nzb : QStringLiteral("Not started.");
        default:
            if (!j.waiting.isEmpty()) return j.waiting;
            return j.command.nzbPath.isEmpty() ? QString() : nzb;
    }
}

}  // namespace

// --- directory list ------------------------------------------------------

CDirectoryList::CDirectoryList() { setSortingEnabled(true); }

namespace {
// Sorted as the runner lists folders: folded to upper case, not by code point.
class DirectoryItem final : public QListWidgetItem {
public:
    using QListWidgetItem::QListWidgetItem;
    bool operator<(const QListWidgetItem& other) const override {
        return common::sortsBefore(text().toStdString(), other.text().toStdString());
    }
};
}  // namespace

void CDirectoryList::addDirectory(const QString& path) {
    addItem(new DirectoryItem(path));  // sorting is on: the item lands in its place
}

QStringList CDirectoryList::entries() const {
    QStringList out;
    for (int i = 0; i < count(); ++i) out << item(i)->text();
    return out;
}

void CDirectoryList::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Delete) {
        // Delete removes the selected entry whatever the count.
        delete currentItem();
        return;
    }
    QListWidget::keyPressEvent(e);
}

void CDirectoryList::mouseDoubleClickEvent(QMouseEvent* e) {
    QListWidget::mouseDoubleClickEvent(e);
    // A double click never empties the list.
    if (count() >= 2) delete currentItem();
}

// --- main window ---------------------------------------------------------

QIcon CMainDlg::programIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(30, 90, 160));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(9, 24), QPointF(24, 16), QPointF(9, 8), QPointF(12, 16)}));
    return QIcon(pm);
}

CMainDlg::CMainDlg(Prompts& prompts, Launcher& launcher, const QString& settingsFile, QWidget* parent)
    : QDialog(parent),
      prompts_(prompts),
      launcher_(launcher),
      store_(openLastUsedStore(settingsFile)),
      settings_(prompts, this),
      intro_(this),
      jobs_(launcher.runnerProgram()),
      jobsFile_(settingsFile.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                             QStringLiteral("/tarvel-skivor/jobs.json")
                                       : settingsFile + QStringLiteral(".jobs.json")) {
    setWindowTitle(QStringLiteral("Tarvel Skivor v0.36 (Usenet News Binary Poster)"));
    settings_.server.runnerProgram = [this] { return launcher_.runnerProgram(); };

    subject = textField();
    separator = textField();
    separator->setMaximumWidth(80);
    formattedSubject = new QCheckBox(QStringLiteral("Use formatted subject"));
    addDirectory = new QPushButton(QStringLiteral("&Add directory"));
    directories = new CDirectoryList;
    author = textField();
    scramble = new QCheckBox(QStringLiteral("Scramble author/sender"));
    newsgroups = textField();
    // Wide enough for the default values to show whole.
    for (QLineEdit* f : {author, newsgroups}) {
        const ProfileData d = ProfileData::defaults();
        const int text = f->fontMetrics().horizontalAdvance(fieldText(f == author ? d.author : d.newsgroups));
        f->setMinimumWidth(text + 2 * f->fontMetrics().averageCharWidth() + 8);
    }
    reference = textField();
    filemask = textField();
    filemask->setMaximumWidth(120);
    maxBandwidth = digitsField();
    maxBandwidth->setMaximumWidth(80);
    nzbFile = textField();
    nzbFile->setPlaceholderText(QStringLiteral("one per directory, with the program's data"));
    browseNzb = new QPushButton(QStringLiteral("..."));
    browseNzb->setMaximumWidth(32);
    browseNzb->setAutoDefault(false);

    auto* subjectBox = new QGroupBox(QStringLiteral("Subject"));
    auto* subjectForm = new QFormLayout(subjectBox);
    subjectForm->addRow(QStringLiteral("Subject:"), subject);
    auto* separatorRow = new QHBoxLayout;
    separatorRow->addWidget(separator);
    separatorRow->addWidget(formattedSubject);
    separatorRow->addStretch();
    subjectForm->addRow(QStringLiteral("Seperator:"), separatorRow);

    auto* contentsBox = new QGroupBox(QStringLiteral("Contents"));
    auto* contents = new QVBoxLayout(contentsBox);
    addFile = new QPushButton(QStringLiteral("Add fi&le"));
    {
        auto* addRow = new QHBoxLayout;
        addRow->addWidget(addDirectory);
        addRow->addWidget(addFile);
        addRow->addStretch();
        contents->addLayout(addRow);
    }
    contents->addWidget(directories);

    auto* toFromBox = new QGroupBox(QStringLiteral("To / From"));
    auto* toFrom = new QFormLayout(toFromBox);
    toFrom->addRow(QStringLiteral("Author:"), author);
    toFrom->addRow(QString(), scramble);
    toFrom->addRow(QStringLiteral("Newsgroup(s):"), newsgroups);

    auto* optionsBox = new QGroupBox(QStringLiteral("Options"));
    auto* options = new QFormLayout(optionsBox);
    options->addRow(QStringLiteral("Reference:"), reference);
    options->addRow(QStringLiteral("Filemask:"), filemask);
    auto* bandwidthRow = new QHBoxLayout;
    bandwidthRow->addWidget(maxBandwidth);
    bandwidthRow->addWidget(new QLabel(QStringLiteral("kb/s.")));
    bandwidthRow->addStretch();
    options->addRow(QStringLiteral("Max. bandwidth:"), bandwidthRow);
    auto* nzbRow = new QHBoxLayout;
    nzbRow->addWidget(nzbFile);
    nzbRow->addWidget(browseNzb);
    options->addRow(QStringLiteral("NZB file:"), nzbRow);

    auto* jobsBox = new QGroupBox(QStringLiteral("Jobs"));
    auto* jobsLayout = new QVBoxLayout(jobsBox);
    jobsList = new QTreeWidget;
    jobsList->setRootIsDecorated(false);
    jobsList->setUniformRowHeights(true);
    jobsList->setHeaderLabels({QStringLiteral("Directory"), QStringLiteral("State"), QStringLiteral("Done"),
                               QStringLiteral("Rate"), QStringLiteral("Time left"), QStringLiteral("Result")});
    jobsList->header()->setStretchLastSection(true);
    jobsList->setMinimumHeight(jobsList->fontMetrics().height() * 9);
    jobsList->setTextElideMode(Qt::ElideMiddle);  // a long path keeps its start and its folder
    jobsList->setItemDelegateForColumn(5, new ElideRightDelegate(jobsList));  // the result reads from its start
    {
        // Wide enough for every state, a rate and the headers, whatever the font.
        const QFontMetrics fm = jobsList->fontMetrics();
        const auto widest = [&fm](std::initializer_list<QString> texts) {
            int w = 0;
            for (const QString& t : texts) w = std::max(w, fm.horizontalAdvance(t));
            return w + 3 * fm.averageCharWidth();
        };
        const int widths[] = {fm.averageCharWidth() * 34,
                              widest({stateText(Job::State::MakingPar2), stateText(Job::State::Cancelled), QStringLiteral("State")}),
                              widest({QStringLiteral("100%"), QStringLiteral("Done")}),
                              widest({QStringLiteral("999.9 MB/s"), QStringLiteral("Rate")}),
                              widest({QStringLiteral("10:00:00"), QStringLiteral("Time left")})};
        int total = fm.averageCharWidth() * 56;  // the result
        for (int c = 0; c < 5; ++c) {
            jobsList->setColumnWidth(c, widths[c]);
            total += widths[c];
        }
        jobsList->setMinimumWidth(total);
    }
    openNzbFolder = new QPushButton(QStringLiteral("Open NZB &folder"));
    cancelJob = new QPushButton(QStringLiteral("Cance&l job"));
    retryJob = new QPushButton(QStringLiteral("&Retry"));
    showLog = new QPushButton(QStringLiteral("Show lo&g"));
    clearJobs = new QPushButton(QStringLiteral("Clear finis&hed"));
    auto* jobButtonsRow = new QHBoxLayout;
    for (QPushButton* b : {openNzbFolder, cancelJob, retryJob, showLog, clearJobs}) {
        b->setAutoDefault(false);
        jobButtonsRow->addWidget(b);
    }
    jobButtonsRow->addStretch();
    jobsLayout->addWidget(jobsList);
    jobsLayout->addLayout(jobButtonsRow);

    post = new QPushButton(QStringLiteral("&Post"));
    clearDirs = new QPushButton(QStringLiteral("&Clear dirs"));
    loadProfile = new QPushButton(QStringLiteral("&Load profile"));
    settingsButton = new QPushButton(QStringLiteral("&Settings"));
    introduce = new QPushButton(QStringLiteral("&Introduce ..."));
    quit = new QPushButton(QStringLiteral("&Quit"));
    post->setDefault(true);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {post, clearDirs, loadProfile, settingsButton, introduce, quit}) {
        if (b != post) b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch();

    menuBar = new QMenuBar(this);
    QMenu* file = menuBar->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&Load profile"), this, &CMainDlg::loadProfileCommand);
    file->addAction(QStringLiteral("Save profile &as"), this, &CMainDlg::saveProfileCommand);
    file->addSeparator();
    file->addAction(QStringLiteral("E&xit"), this, &QDialog::reject);
    menuBar->addMenu(QStringLiteral("&Edit"))->addAction(QStringLiteral("&Settings"), this, &CMainDlg::settingsCommand);
    menuBar->addMenu(QStringLiteral("&Help"))->addAction(QStringLiteral("&About"), this, [this] {
        CAbout about(this);
        about.exec();
    });

    auto* left = new QVBoxLayout;
    for (QGroupBox* b : {subjectBox, contentsBox, toFromBox, optionsBox}) left->addWidget(b);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addLayout(columns);
    layout->addWidget(jobsBox, 1);

    openFolder = [](const QString& folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };
    connect(&jobs_, &JobQueue::changed, this, &CMainDlg::showJob);
    // The list is kept across restarts: written a moment after it changes.
    saveJobs_.setSingleShot(true);
    saveJobs_.setInterval(1000);
    connect(&saveJobs_, &QTimer::timeout, this, [this] { jobs_.save(jobsFile_); });
    connect(&jobs_, &JobQueue::changed, this, [this](int row) {
        const auto& all = jobs_.jobs();
        if (row < 0 || (row < static_cast<int>(all.size()) && !all[static_cast<std::size_t>(row)].running()))
            saveJobs_.start();
    });
    jobs_.load(jobsFile_);
    connect(jobsList, &QTreeWidget::itemSelectionChanged, this, &CMainDlg::jobButtons);
    connect(openNzbFolder, &QPushButton::clicked, this, [this] {
        const int row = selectedJob();
        if (row >= 0) openFolder(QFileInfo(jobs_.jobs()[static_cast<std::size_t>(row)].command.nzbPath).absolutePath());
    });
    connect(cancelJob, &QPushButton::clicked, this, [this] { jobs_.cancel(selectedJob()); });
    connect(retryJob, &QPushButton::clicked, this, &CMainDlg::retrySelectedJob);
    connect(showLog, &QPushButton::clicked, this, &CMainDlg::showLogWindow);
    connect(clearJobs, &QPushButton::clicked, &jobs_, &JobQueue::clearFinished);
    connect(browseNzb, &QPushButton::clicked, this, [this] {
        if (const auto path = prompts_.saveFile(this, QStringLiteral("NZB file (*.nzb);;All (*)"))) nzbFile->setText(*path);
    });
    jobButtons();

    connect(formattedSubject, &QCheckBox::clicked, this, &CMainDlg::formattedSubjectClicked);
    connect(scramble, &QCheckBox::clicked, this, &CMainDlg::scrambleClicked);
    connect(addDirectory, &QPushButton::clicked, this, &CMainDlg::addDirectoryCommand);
    connect(addFile, &QPushButton::clicked, this, [this] {
        if (const auto chosen = prompts_.openFile(this, QStringLiteral("All files (*)"))) directories->addDirectory(*chosen);
    });
    // Folders and files dropped onto the window join the list.
    setAcceptDrops(true);
    connect(clearDirs, &QPushButton::clicked, directories, &QListWidget::clear);
    connect(post, &QPushButton::clicked, this, &CMainDlg::runCommand);
    connect(loadProfile, &QPushButton::clicked, this, &CMainDlg::loadProfileCommand);
    connect(settingsButton, &QPushButton::clicked, this, &CMainDlg::settingsCommand);
    connect(introduce, &QPushButton::clicked, this, &CMainDlg::introduceCommand);
    connect(quit, &QPushButton::clicked, this, &QDialog::reject);  // nothing is saved

    // Start: the icon, the last-used pair, else the defaults.
    setWindowIcon(programIcon());
    RestoreLastUsed();
    if (!profileLoaded_) {
        settings_.profile() = ProfileData::defaults();
        intro_.text = QString::fromUtf8(kDefaultIntroText);
        settings_.ApplyProfileToPages();
        ApplyProfileToControls();
    }

    // Hints: two balloons and five standard tooltips.
    balloon_ = new CBalloonTip(this);
    const QIcon info = style()->standardIcon(QStyle::SP_MessageBoxInformation);
    balloon_->addHint(formattedSubject, QString::fromUtf8(kFormatHint), info, QPoint(8, 8));
    balloon_->addHint(separator, QString::fromUtf8(kSeparatorHint));
    newsgroups->setToolTip(QStringLiteral("Seperate by , (comma)."));
    reference->setToolTip(QStringLiteral("References should contain < >."));
    addDirectory->setToolTip(QStringLiteral("Add as many as you like."));
    addFile->setToolTip(QStringLiteral("A single file, posted on its own. Folders and files can be dropped onto the window too."));
    maxBandwidth->setToolTip(QStringLiteral("0 = No bandwidth limitations."));
    introduce->setToolTip(QStringLiteral("Introduce your post."));
    // Every pointer move in the window reaches the balloon.
    setMouseTracking(true);
    for (QWidget* w : findChildren<QWidget*>()) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
}

CMainDlg::~CMainDlg() {
    // Running jobs stop (saving their NZB files) and come back cancelled,
    // for Retry to finish.
    jobs_.stopAll();
    jobs_.save(jobsFile_);
}

QStringList CMainDlg::droppedPaths(const QMimeData* data) {
    QStringList out;
    if (!data || !data->hasUrls()) return out;
    for (const QUrl& url : data->urls()) {
        const QFileInfo info(url.toLocalFile());
        if (url.isLocalFile() && (info.isDir() || info.isFile())) out << info.absoluteFilePath();
    }
    return out;
}

void CMainDlg::dragEnterEvent(QDragEnterEvent* e) {
    if (!droppedPaths(e->mimeData()).isEmpty()) e->acceptProposedAction();
}

void CMainDlg::dropEvent(QDropEvent* e) {
    const QStringList paths = droppedPaths(e->mimeData());
    for (const QString& path : paths)
        if (directories->findItems(path, Qt::MatchExactly).isEmpty()) directories->addDirectory(path);
    if (!paths.isEmpty()) e->acceptProposedAction();
}

bool CMainDlg::eventFilter(QObject* watched, QEvent* event) {
    if (balloon_ && watched != balloon_) balloon_->relay(event);
    return QDialog::eventFilter(watched, event);
}

void CMainDlg::say(const QString& text, const QString& caption, QWidget* owner) {
    prompts_.message(owner ? owner : this, text, caption, MessageIcon::Error);
}

// --- controls and the record ----------------------------------------------

void CMainDlg::ApplyProfileToControls() {
    const ProfileData& p = settings_.profile();
    formattedSubject->setChecked(p.useFormattedSubject);
    scramble->setChecked(p.scramble);
    setEditable(author, !p.scramble);
    author->setText(fieldText(p.author));
    separator->setText(fieldText(p.separator));
    newsgroups->setText(fieldText(p.newsgroups));
    subject->setText(fieldText(p.subject));
    reference->setText(fieldText(p.reference));
    filemask->setText(fieldText(p.filemask));
    maxBandwidth->setText(QString::number(p.maxBandwidth));
    nzbFile->setText(QString::fromStdString(p.extras.nzbPath));
    setEditable(separator, p.useFormattedSubject);
    for (QLineEdit* f : {author, separator, newsgroups, subject, reference, filemask}) f->setCursorPosition(0);
}

void CMainDlg::GatherControlsIntoProfile() {
    ProfileData& p = settings_.profile();
    p.scramble = scramble->isChecked();
    p.useFormattedSubject = formattedSubject->isChecked();
    p.author = fieldBytes(author->text(), p.author);
    p.separator = fieldBytes(separator->text(), p.separator);
    p.newsgroups = fieldBytes(newsgroups->text(), p.newsgroups);
    p.subject = fieldBytes(subject->text(), p.subject);
    p.reference = fieldBytes(reference->text(), p.reference);
    p.filemask = fieldBytes(filemask->text(), p.filemask);
    p.maxBandwidth = leadingNumber(maxBandwidth->text());
    p.extras.nzbPath = nzbFile->text().trimmed().toStdString();
}

MainFields CMainDlg::fields() const {
    MainFields f;
    f.author = upTo258(author);
    f.subject = upTo258(subject);
    f.separator = upTo258(separator);
    f.newsgroups = upTo258(newsgroups);
    f.reference = upTo258(reference);
    f.filemask = upTo258(filemask);
    f.maxBandwidth = upTo258(maxBandwidth);
    f.scramble = scramble->isChecked();
    f.formattedSubject = formattedSubject->isChecked();
    return f;
}

void CMainDlg::formattedSubjectClicked() {
    if (formattedSubject->isChecked()) {
        setEditable(separator, true);
        const QString s = subject->text();
        // " $F" must fit the field too, or a save would cut it off again.
        if (!s.contains(QStringLiteral("$F")))
            subject->setText(s.left(static_cast<qsizetype>(fittingLength(s, kTextMaxBytes - 3))) + QStringLiteral(" $F"));
    } else {
        setEditable(separator, false);
    }
}

void CMainDlg::scrambleClicked() { setEditable(author, !scramble->isChecked()); }

// --- commands --------------------------------------------------------------

void CMainDlg::addDirectoryCommand() {
    if (const auto dir = prompts_.folder(nullptr, QStringLiteral("Select the folder"))) directories->addDirectory(*dir);
}

void CMainDlg::settingsCommand() {
    if (settings_.exec() == QDialog::Accepted) settings_.GatherPagesIntoProfile();
}

void CMainDlg::introduceCommand() { intro_.exec(); }

void CMainDlg::runCommand() {
    if (directories->count() == 0) {
        say(QStringLiteral("You need to add directories to make the program post anything."),
            QStringLiteral("Contents failure"));
        return;
    }
    if (formattedSubject->isChecked() && !upTo258(subject).contains(QStringLiteral("$F"))) {
        say(QStringLiteral("$F is required when you have checked; Use formatted subject."),
            QStringLiteral("Subject failure"));
        return;
    }
    const MainFields f = fields();
    // A fresh profile's example server or author would post nowhere, or
    // under a name that is not the user's.
    const ProfileData example = ProfileData::defaults();
    if ((settings_.profile().server == example.server || (!f.scramble && trimBlanks(f.author) == QString::fromStdString(example.author))) &&
        !prompts_.ask(this,
                      QStringLiteral("The server (%1) or the author is still the example of a new profile. Post anyway?")
                          .arg(QString::fromStdString(settings_.profile().server)),
                      QStringLiteral("Tarvel Skivor")))
        return;
    // The NZB field as it stands, whether or not the profile was saved.
    ProfileData profile = settings_.profile();
    profile.extras.nzbPath = nzbFile->text().trimmed().toStdString();
    const bool terminal = profile.extras.terminal;
    jobs_.setMaxRunning(profile.extras.jobsAtOnce);
    QStringList background;  // "DIR: LOG" of runners without a terminal
    for (const QString& dir : directories->entries()) {
        std::vector<Message> messages;
        const auto command = buildRunnerCommand(f, profile, intro_.text, dir, messages);
        for (const Message& m : messages)
            say(m.text, m.caption, m.owner == Message::Owner::AuthorField ? author : nullptr);
        if (!command) continue;
        if (!terminal) {
            // In the jobs list, one after another (or N at once).
            jobs_.add(dir, *command);
            continue;
        }
        const Launcher::Result r = launcher_.start(*command);
        if (!r.started) {
            say(r.error, QStringLiteral("Error"));
        } else if (!r.logFile.isEmpty()) {
            background << QStringLiteral("%1: %2").arg(dir, r.logFile);
        }
    }
    // One notice for them all, after every runner has started: a box per
    // directory would hold back the next runner until it is closed.
    if (!background.isEmpty())
        prompts_.message(this,
                         QStringLiteral("No terminal window could be opened, so tskivo runs in the background. "
                                        "Its output goes to a log file for each directory:\n") +
                             background.join(QLatin1Char('\n')),
                         QStringLiteral("Tarvel Skivor"), MessageIcon::Information);
}

// --- the jobs list ------------------------------------------------------------

QString CMainDlg::jobLog(int row) const {
    const auto& all = jobs_.jobs();
    if (row < 0 || row >= static_cast<int>(all.size())) return {};
    return all[static_cast<std::size_t>(row)].log.join(QLatin1Char('\n'));
}

void CMainDlg::showLogWindow() {
    const int row = selectedJob();
    if (row < 0 || row >= static_cast<int>(jobs_.jobs().size())) return;
    const Job& j = jobs_.jobs()[static_cast<std::size_t>(row)];
    if (!logWindow_) {
        logWindow_ = new QDialog(this);
        logWindow_->resize(760, 420);
        logText_ = new QPlainTextEdit(logWindow_);
        logText_->setReadOnly(true);
        logText_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        (new QVBoxLayout(logWindow_))->addWidget(logText_);
    }
    logJob_ = j.id;
    logWindow_->setWindowTitle(QStringLiteral("Log of %1").arg(j.directory));
    logText_->setPlainText(jobLog(row));
    logWindow_->show();
    logWindow_->raise();
}

void CMainDlg::retrySelectedJob() {
    const int row = selectedJob();
    if (row < 0 || row >= static_cast<int>(jobs_.jobs().size())) return;
    const Job& j = jobs_.jobs()[static_cast<std::size_t>(row)];
    // The settings as they are now (a mended port, say), for the same
    // directory; the posting's NZB file stays the one it began, which
    // /resume finishes.
    ProfileData profile = settings_.profile();
    profile.extras.nzbPath = j.command.nzbPath.toStdString();
    std::vector<Message> messages;
    auto command = buildRunnerCommand(fields(), profile, intro_.text, j.directory, messages);
    for (const Message& m : messages) say(m.text, m.caption, m.owner == Message::Owner::AuthorField ? author : nullptr);
    if (command) jobs_.retry(row, std::move(*command));
}

void CMainDlg::showJob(int row) {
    const auto& all = jobs_.jobs();
    if (row < 0) {
        // Rows added or removed: the list follows the queue.
        while (jobsList->topLevelItemCount() > static_cast<int>(all.size())) delete jobsList->takeTopLevelItem(jobsList->topLevelItemCount() - 1);
        while (jobsList->topLevelItemCount() < static_cast<int>(all.size())) jobsList->addTopLevelItem(new QTreeWidgetItem);
        for (int i = 0; i < static_cast<int>(all.size()); ++i) showJob(i);
        jobButtons();
        return;
    }
    if (row >= static_cast<int>(all.size()) || row >= jobsList->topLevelItemCount()) return;
    const Job& j = all[static_cast<std::size_t>(row)];
    QTreeWidgetItem* item = jobsList->topLevelItem(row);
    const bool live = j.running();
    QString done = j.state == Job::State::MakingPar2 && j.par2Percent >= 0 ? QStringLiteral("%1%").arg(j.par2Percent)
                   : live || j.state == Job::State::Done ? QStringLiteral("%1%").arg(static_cast<int>(j.share * 100))
                                                          : QString();
    const QString texts[] = {j.directory,
                             stateText(j.state),
                             done,
                             live && j.rate ? sizeText(static_cast<double>(j.rate)) + QStringLiteral("/s") : QString(),
                             live ? durationText(j.secondsLeft) : QString(),
                             resultText(j)};
    for (int c = 0; c < 6; ++c) {
        item->setText(c, texts[c]);
        item->setToolTip(c, texts[c]);
    }
    if (j.state == Job::State::Failed) item->setToolTip(5, j.error);  // the whole of it
    if (logWindow_ && logJob_ == j.id) logText_->setPlainText(j.log.join(QLatin1Char('\n')));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
    if (j.state == Job::State::Failed) item->setForeground(1, QColor(170, 0, 0));
    else item->setForeground(1, palette().color(QPalette::Text));
    jobButtons();
}

int CMainDlg::selectedJob() const {
    QTreeWidgetItem* item = jobsList->currentItem();
    return item && item->isSelected() ? jobsList->indexOfTopLevelItem(item) : -1;
}

void CMainDlg::jobButtons() {
    const int row = selectedJob();
    const Job* j = row >= 0 && row < static_cast<int>(jobs_.jobs().size()) ? &jobs_.jobs()[static_cast<std::size_t>(row)] : nullptr;
    openNzbFolder->setEnabled(j && !j->command.nzbPath.isEmpty());
    cancelJob->setEnabled(j && ((j->running() && !j->cancelling) || j->state == Job::State::Waiting));
    retryJob->setEnabled(j && (j->state == Job::State::Failed || j->state == Job::State::Cancelled));
    showLog->setEnabled(j != nullptr);
    clearJobs->setEnabled(std::any_of(jobs_.jobs().begin(), jobs_.jobs().end(), [](const Job& x) { return x.finished(); }));
}

// --- profiles ------------------------------------------------------------------

bool CMainDlg::LoadProfile(const QString& path) {
    ProfileData read;
    switch (readProfileFile(path, read)) {
        case ProfileLoad::CannotOpen:
            return false;
        case ProfileLoad::ReadFailure:
            prompts_.message(this, path, QStringLiteral("Read failure"), MessageIcon::None);
            return false;
        case ProfileLoad::WrongVersion:
            prompts_.message(this, QStringLiteral("Incorrect profile version detected. Profile will not be loaded."),
                             QStringLiteral("Load error"), MessageIcon::None);
            return false;
        case ProfileLoad::Loaded:
            break;
    }
    settings_.profile() = read;
    settings_.ApplyProfileToPages();
    ApplyProfileToControls();
    // A profile without ".tprf" in its name has no companion; the intro
    // text last used stays recorded then.
    const auto companion = companionTextPath(path);
    rememberLastUsed(*store_, path,
                     companion ? *companion : lastUsedValue(*store_, kLastUsedIntroText).value_or(QString()));
    profileLoaded_ = true;
    return true;
}

bool CMainDlg::SaveProfile(const QString& path) {
    settings_.profile().version = kProfileVersion;
    settings_.GatherPagesIntoProfile();
    GatherControlsIntoProfile();
    if (!saveProfileFile(path, settings_.profile())) {
        prompts_.message(this, path, QStringLiteral("Error: Unable to save"), MessageIcon::Error);
        return false;
    }
    return true;
}

bool CMainDlg::LoadIntroText(const QString& path) {
    if (readIntroFile(path, intro_.text) == IntroRead::CannotOpen) {
        prompts_.message(this, path, QStringLiteral("Error: Unable to load"), MessageIcon::Error);
        return false;
    }
    return true;
}

bool CMainDlg::SaveIntroText(const QString& path) {
    if (!writeIntroFile(path, intro_.text)) {
        prompts_.message(this, path, QStringLiteral("Error: Unable to save"), MessageIcon::Error);
        return false;
    }
    return true;
}

void CMainDlg::RestoreLastUsed() {
    if (!lastUsedStoreExists(*store_)) {
        writeDefaultLastUsed(*store_, QDir::currentPath());
        return;
    }
    const auto profile = lastUsedValue(*store_, kLastUsedProfile);
    if (!profile) return;
    if (QFile(*profile).open(QIODevice::ReadOnly)) LoadProfile(*profile);
    // LoadProfile has just recorded the profile's companion.
    const auto intro = lastUsedValue(*store_, kLastUsedIntroText);
    if (intro && QFile(*intro).open(QIODevice::ReadOnly)) readIntroFile(*intro, intro_.text);
}

void CMainDlg::loadProfileCommand() {
    const auto path = prompts_.openFile(this, QString::fromUtf8(kProfileFilters));
    if (!path) return;
    LoadProfile(*path);
    if (const auto companion = companionTextPath(*path)) LoadIntroText(*companion);
}

void CMainDlg::saveProfileCommand() {
    const auto chosen = prompts_.saveFile(this, QString::fromUtf8(kSaveFilters));
    if (!chosen) return;
    const auto [profilePath, introPath] = saveNames(*chosen);
    // Both are tried and both report; a pair that was not saved whole is not
    // recorded as last used.
    const bool profileSaved = SaveProfile(profilePath);
    const bool introSaved = SaveIntroText(introPath);
    if (profileSaved && introSaved) rememberLastUsed(*store_, profilePath, introPath);
}

}  // namespace tskivor
