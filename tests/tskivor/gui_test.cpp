// The dialogs under the offscreen platform, driven with QTest.
#include <QPainter>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <cstring>

#include "balloon_tip.h"
#include "color_picker.h"
#include "gui_stubs.h"
#include "intro_text.h"
#include "last_used.h"
#include "main_dlg.h"

using namespace tskivor;
using tskivor_testing::StubLauncher;
using tskivor_testing::StubPrompts;

namespace {

// Runs `action` once the next modal dialog is up; a dialog that the action
// left open (a failed check returns early) is closed, so nothing hangs.
void whenModal(std::function<void(QWidget*)> action) {
    QTimer::singleShot(0, [action] {
        QWidget* w = QApplication::activeModalWidget();
        if (w) action(w);
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
    });
}

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString startDir_;
    QString storeFile() const { return dir_.filePath(QStringLiteral("store.ini")); }
    // The pages showing the default profile, changed by `change` first.
    static void showDefaults(CSettings& sheet, const std::function<void(ProfileData&)>& change = {}) {
        sheet.profile() = ProfileData::defaults();
        if (change) change(sheet.profile());
        sheet.ApplyProfileToPages();
    }
    void writeBytes(const QString& name, const QByteArray& bytes) const {
        QFile f(dir_.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void init() {
        QVERIFY(dir_.isValid());
        startDir_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        QFile::remove(storeFile());
        QFile::remove(storeFile() + QStringLiteral(".jobs.json"));
    }
    void cleanup() { QDir::setCurrent(startDir_); }

    void settingsPagesKeepValuesThroughCancelAndApplyStaysOff() {
        StubPrompts prompts;
        CSettings sheet(prompts);
        showDefaults(sheet);
        whenModal([&](QWidget*) {
            QVERIFY(!sheet.buttons()->button(QDialogButtonBox::Apply)->isEnabled());
            sheet.tabs()->setCurrentIndex(2);
            QCOMPARE(sheet.server.server->text(), QStringLiteral("news.example.net"));
            sheet.server.server->setText(QStringLiteral("news.changed.org"));
            sheet.tabs()->setCurrentIndex(0);  // leaving takes the value
            sheet.reject();
        });
        QCOMPARE(sheet.exec(), int(QDialog::Rejected));
        QCOMPARE(sheet.profile().server, std::string("news.example.net"));
        QCOMPARE(sheet.server.values.server, QStringLiteral("news.changed.org"));
        sheet.GatherPagesIntoProfile();  // as a later save does
        QCOMPARE(sheet.profile().server, std::string("news.changed.org"));
        // The Posting style page's newer fields reach the profile, and come back.
        CSettingsPostStyle& ps = sheet.postStyle;
        ps.showValues();
        ps.checkServer->setText(QStringLiteral(" check.example.net "));
        ps.checkDelay->setValue(9);
        ps.domain->setText(QStringLiteral("pix.example.net"));
        ps.afterCommand->setText(QStringLiteral("./upload.sh"));
        ps.nzbTags->setText(QStringLiteral("oaks,autumn"));
        ps.archive->setChecked(true);
        ps.volumeMiB->setValue(25);
        QVERIFY(ps.takeValues());
        sheet.GatherPagesIntoProfile();
        const ProfileExtras& x = sheet.profile().extras;
        QCOMPARE(x.checkServer, std::string("check.example.net"));
        QCOMPARE(x.checkDelay, 9);
        QCOMPARE(x.domain + "|" + x.afterCommand + "|" + x.nzbTags, std::string("pix.example.net|./upload.sh|oaks,autumn"));
        QVERIFY(x.archive);
        QCOMPARE(x.volumeMiB, 25);
        ps.domain->clear();
        sheet.ApplyProfileToPages();
        ps.showValues();
        QCOMPARE(ps.domain->text(), QStringLiteral("pix.example.net"));
    }

    void settingsRulesAndMessages() {
        StubPrompts prompts;
        CSettings sheet(prompts);
        showDefaults(sheet, [](ProfileData& p) { p.useAuthentication = true; });
        whenModal([&](QWidget*) {
            // uuencode: the first-article-only box wins.
            CSettingsPostStyle& ps = sheet.postStyle;
            ps.uuencodeFirstOnly->click();
            ps.useUuencoding->click();
            QVERIFY(ps.uuencodeFirstOnly->isChecked());
            QVERIFY(!ps.useUuencoding->isChecked());
            QVERIFY(!ps.checkPosts->isChecked() && !ps.resume->isChecked());
            ps.checkPosts->click();

            sheet.tabs()->setCurrentIndex(2);
            QVERIFY(sheet.server.useAuthentication->isChecked());
            QVERIFY(!sheet.server.userName->isReadOnly());
            const QColor editableBase = sheet.server.userName->palette().color(QPalette::Base);
            sheet.server.useAuthentication->click();
            QVERIFY(sheet.server.password->isReadOnly());
            QVERIFY(sheet.server.password->palette().color(QPalette::Base) != editableBase);  // and looks it
            sheet.server.port->setText(QString());
            int tabUnderMessage = -1;
            prompts.onMessage = [&] { tabUnderMessage = sheet.tabs()->currentIndex(); };
            sheet.tabs()->setCurrentIndex(3);
            QCOMPARE(sheet.tabs()->currentIndex(), 2);  // the page stays
            QCOMPARE(tabUnderMessage, 2);               // and is on top while the message shows
            prompts.onMessage = nullptr;
            QCOMPARE(prompts.texts(), QStringList{"Please enter an integer."});
            // The port follows the TLS box while it holds the other default.
            sheet.server.port->setText(QStringLiteral("119"));
            sheet.server.useTls->click();
            QCOMPARE(sheet.server.port->text(), QStringLiteral("563"));
            sheet.server.useTls->click();
            QCOMPARE(sheet.server.port->text(), QStringLiteral("119"));
            sheet.server.port->setText(QStringLiteral("8119"));
            sheet.server.useTls->click();
            QCOMPARE(sheet.server.port->text(), QStringLiteral("8119"));
            sheet.server.useTls->click();
            sheet.server.port->setText(QStringLiteral("563"));
            sheet.server.backupServer->setText(QStringLiteral("backup.example.net:443"));
            sheet.server.jobsAtOnce->setText(QStringLiteral("2"));
            sheet.server.proxy->setText(QStringLiteral("http://proxy:8080"));
            sheet.tabs()->setCurrentIndex(3);
            QCOMPARE(prompts.texts().last(), QStringLiteral("Please enter the proxy as socks5://[user:password@]host:port."));
            sheet.server.proxy->setText(QStringLiteral("socks5://proxy:1080"));
            QCOMPARE(sheet.server.connections->text(), QStringLiteral("1"));
            sheet.server.connections->setText(QStringLiteral("65"));
            sheet.tabs()->setCurrentIndex(3);
            QCOMPARE(sheet.tabs()->currentIndex(), 2);
            QCOMPARE(prompts.texts().last(), QStringLiteral("Please enter a number of connections from 1 to 64."));
            sheet.server.connections->setText(QStringLiteral("8"));
            sheet.server.useTls->setChecked(true);
            sheet.tabs()->setCurrentIndex(3);
            QCOMPARE(sheet.par2.recovery->value(), 15);
            QCOMPARE(sheet.par2.recovery->maximum(), 100);
            QCOMPARE(sheet.par2.recovery->tickInterval(), 5);
            QVERIFY(!sheet.par2.create->isChecked());  // an all-zero area: off, the usual defaults
            QCOMPARE(sheet.par2.recoveryValue->text(), QStringLiteral("15%"));
            QVERIFY(!sheet.par2.recovery->isEnabled() && !sheet.par2.blockSize->isEnabled());  // off: greyed
            sheet.par2.create->setChecked(true);
            QVERIFY(sheet.par2.recovery->isEnabled() && sheet.par2.blockSize->isEnabled());
            sheet.par2.recovery->setValue(80);
            QCOMPARE(sheet.par2.recoveryValue->text(), QStringLiteral("80%"));
            sheet.par2.equalFileSizes->setChecked(true);
            sheet.par2.blockSize->setText(QStringLiteral("6"));
            sheet.buttons()->button(QDialogButtonBox::Ok)->click();
            QCOMPARE(prompts.texts().last(), QStringLiteral("Please enter a block size that is a multiple of 4."));
            sheet.par2.blockSize->setText(QStringLiteral("4096"));
            sheet.buttons()->button(QDialogButtonBox::Ok)->click();
        });
        const auto par2Before = sheet.profile().par2Area;
        QCOMPARE(sheet.exec(), int(QDialog::Accepted));
        sheet.GatherPagesIntoProfile();
        const ProfileData& p = sheet.profile();
        QVERIFY(p.uuencodeFirstOnly && !p.useUuencoding);
        QCOMPARE(p.port, 563);
        QVERIFY(!p.useAuthentication);
        QVERIFY(p.useTls());
        QCOMPARE(p.connections(), 8);
        QVERIFY(p.checkPosts() && !p.resume());
        QVERIFY(p.par2Area != par2Before);
        QCOMPARE(p.par2(), (Par2Settings{true, 80, 0, true, 0, 4096}));
        QCOMPARE(p.extras.backupServer, std::string("backup.example.net:443"));
        QCOMPARE(p.extras.proxy, std::string("socks5://proxy:1080"));
        QCOMPARE(p.extras.jobsAtOnce, 2);
    }

    void colourAndImageButtons() {
        StubPrompts prompts;
        CSettings sheet(prompts);
        showDefaults(sheet);
        CSettingsContactSheet& cs = sheet.contactSheet;
        QCOMPARE(cs.values.fontColour, QStringLiteral("000000"));
        QCOMPARE(cs.values.backgroundColour, QStringLiteral("FFFFFF"));
        cs.showValues();
        cs.fontColour->setText(QStringLiteral("FF8000"));
        prompts.colours.push_back(platformColour({0, 0, 255}));
        auto buttons = cs.findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 4);
        buttons[1]->click();  // beside "Font color:"
        QCOMPARE(prompts.colourRequests.at(0), platformColour({255, 128, 0}));
        QCOMPARE(cs.fontColour->text(), QStringLiteral("0000FF"));
        QCOMPARE(cs.values.fontColour, QStringLiteral("0000FF"));
        // Cancelling the picker changes nothing.
        buttons[1]->click();
        QCOMPARE(cs.fontColour->text(), QStringLiteral("0000FF"));
        // Fewer digits are the colour with leading zeros, in the picker and
        // in the profile; an empty field keeps the last good colour.
        cs.backgroundColour->setText(QStringLiteral("12"));
        buttons[2]->click();
        QCOMPARE(prompts.colourRequests.back(), platformColour({0, 0, 0x12}));
        cs.takeValues();
        sheet.GatherPagesIntoProfile();
        QCOMPARE(sheet.profile().fontColour, 0x0000FFu);
        QCOMPARE(sheet.profile().backgroundColour, 0x000012u);
        cs.backgroundColour->setText(QString());
        buttons[2]->click();
        QCOMPARE(prompts.colourRequests.back(), platformColour({0, 0, 0x12}));
        cs.takeValues();
        sheet.GatherPagesIntoProfile();
        QCOMPARE(sheet.profile().backgroundColour, 0x000012u);
        // Typed lower-case digits are read as hex.
        cs.fontColour->setText(QStringLiteral("ff8000"));
        cs.takeValues();
        sheet.GatherPagesIntoProfile();
        QCOMPARE(sheet.profile().fontColour, 0xFF8000u);
        QCOMPARE(cs.fontColour->maxLength(), 6);

        prompts.files.push_back(QStringLiteral("/pics/logo.png"));
        buttons[0]->click();
        QCOMPARE(cs.authorLogo->text(), QStringLiteral("/pics/logo.png"));
        buttons[0]->click();  // cancelled: emptied
        QCOMPARE(cs.authorLogo->text(), QString());
    }

    void colourPickerFieldsClampAndConvert() {
        CColorPicker picker(platformColour({255, 128, 0}));
        QCOMPARE(picker.rgb(), (Rgb{255, 128, 0}));
        QCOMPARE(picker.initialRgb(), (Rgb{255, 128, 0}));
        picker.field(3)->setValue(400);
        QCOMPARE(picker.hsb().hue, 359);
        QCOMPARE(picker.field(3)->value(), 359);
        picker.field(0)->setValue(300);
        QCOMPARE(picker.rgb().red, 255);
        picker.field(1)->setValue(-5);
        QCOMPARE(picker.rgb().green, 0);
        QCOMPARE(picker.field(1)->value(), 0);
        picker.setRgb({128, 128, 128});
        picker.field(3)->setValue(200);
        QCOMPARE(picker.rgb(), (Rgb{128, 128, 128}));
        // A press outside the wheel and the bar does nothing; one on the
        // centre gives hue 0 and saturation 0.
        picker.setRgb({255, 0, 0});
        picker.resize(700, 400);
        picker.show();
        WheelPanel* wheel = picker.wheelPanel();
        QTest::mouseClick(wheel, Qt::LeftButton, {}, QPoint(2, wheel->height() - 2));
        QCOMPARE(picker.rgb(), (Rgb{255, 0, 0}));
        QTest::mouseClick(wheel, Qt::LeftButton, {}, wheel->wheelCorner() + picker::kWheelCentre);
        QCOMPARE(picker.hsb().hue, 0);
        QCOMPARE(picker.hsb().saturation, 0);
        QCOMPARE(picker.rgb(), (Rgb{255, 255, 255}));
        // The marker is drawn by exclusive-or: the rendered wheel differs from
        // the bare image exactly around the cross-hair.
        const QImage img = wheel->render();
        const QPoint centre = wheel->wheelCorner() + picker::kWheelCentre;
        QVERIFY(img.pixelColor(centre + QPoint(5, 0)) != QColor(255, 255, 255));

        // With blue at 0 two guide edges coincide with others; the far sides
        // of the box must still show (exclusive-or twice would erase them).
        picker.setRgb({255, 255, 0});
        CubePanel* cube = picker.cubePanel();
        const QImage cubeImg = cube->render();
        const QPoint o = cube->cubeCorner() + picker::kCubeOrigin;
        const QPoint r = picker::axisPoint(picker::Axis::Red, 255) - picker::kCubeOrigin;
        const QPoint g = picker::axisPoint(picker::Axis::Green, 255) - picker::kCubeOrigin;
        QImage bare(cubeImg.size(), QImage::Format_RGB32);
        bare.fill(cube->palette().color(QPalette::Button));
        QPainter(&bare).drawImage(cube->cubeCorner(), CColorPicker::cubeImage());
        for (const QPoint from : {r, g}) {
            const QPoint mid = o + from + (r + g - from) / 2;
            bool drawn = false;
            for (int dx = -1; dx <= 1; ++dx)
                for (int dy = -1; dy <= 1; ++dy)
                    drawn = drawn || cubeImg.pixel(mid + QPoint(dx, dy)) != bare.pixel(mid + QPoint(dx, dy));
            QVERIFY(drawn);
        }
        // Markers at 255 stay clear of the group box's frame.
        QVERIFY(cube->cubeCorner().y() + picker::kRedEnd.y() - 5 > cube->contentsRect().top());
        QVERIFY(wheel->wheelCorner().y() - 4 > wheel->contentsRect().top());
        // The swatches' inner edge: dark grey 128 at the top left.
        for (QWidget* swatch : picker.findChildren<QWidget*>(QStringLiteral("swatch")))
            QCOMPARE(swatch->grab().toImage().pixelColor(3, 1), QColor(128, 128, 128));
    }

    void launcherPassesTheArgumentVectorAndThePassword() {
        // A stand-in terminal and runner that write down what they got.
        const QString seen = dir_.filePath(QStringLiteral("seen.txt"));
        auto script = [](const QString& path, const QString& body) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(body.toUtf8());
            f.close();
            f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        };
        const QString term = dir_.filePath(QStringLiteral("term.sh"));
        const QString runner = dir_.filePath(QStringLiteral("runner.sh"));
        script(term, QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > '%1.tmp'\n"
                                    "echo \"pw=$TSKIVO_PASSWORD\" >> '%1.tmp'; mv '%1.tmp' '%1'\n")
                         .arg(seen));
        script(runner, QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\necho \"pw=$TSKIVO_PASSWORD\"\n"));
        auto waitFor = [](const QString& path) {
            for (int i = 0; i < 100 && !QFile::exists(path); ++i) QTest::qWait(50);
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            return QString::fromUtf8(f.readAll());
        };
        RunnerCommand command;
        command.arguments = {QStringLiteral("Me <me@x.org>"), QStringLiteral("say \"hi\""), QStringLiteral("/fs=\\")};
        command.password = QStringLiteral("s3cret word");

        ProcessLauncher inTerminal(runner, term);
        QVERIFY(inTerminal.start(command).started);
        QCOMPARE(waitFor(seen), QStringLiteral("[-T]\n[Tarvel Skivo running. DO NOT CLOSE THIS WINDOW!]\n[-e]\n[%1]\n"
                                               "[Me <me@x.org>]\n[say \"hi\"]\n[/fs=\\]\npw=s3cret word\n")
                                    .arg(runner));

        ProcessLauncher detached(runner, QStringLiteral("none"));
        const Launcher::Result r = detached.start(command);
        QVERIFY(r.started);
        QVERIFY(!r.logFile.isEmpty());
        QString log;
        for (int i = 0; i < 100 && !log.contains(QStringLiteral("pw=")); ++i) {
            QTest::qWait(50);
            log = waitFor(r.logFile);
        }
        QCOMPARE(log, QStringLiteral("[Me <me@x.org>]\n[say \"hi\"]\n[/fs=\\]\npw=s3cret word\n"));
        QFile::remove(r.logFile);

        ProcessLauncher missing(dir_.filePath(QStringLiteral("no-such-runner")), QStringLiteral("none"));
        const Launcher::Result m = missing.start(command);
        QVERIFY(!m.started);
        QCOMPARE(m.error, QString::fromLocal8Bit(strerror(ENOENT)));
    }

    void defaultValuesShowWhole() {
        StubPrompts prompts;
        StubLauncher launcher;
        CMainDlg w(prompts, launcher, storeFile());
        w.show();
        for (QLineEdit* f : {w.author, w.newsgroups})
            QVERIFY(f->width() > f->fontMetrics().horizontalAdvance(f->text()) + 4);
    }

    void mainWindowStartsWithDefaultsAndWritesTheStore() {
        StubPrompts prompts;
        StubLauncher launcher;
        CMainDlg w(prompts, launcher, storeFile());
        QCOMPARE(w.windowTitle(), QStringLiteral("Tarvel Skivor v0.36 (Usenet News Binary Poster)"));
        QVERIFY(!w.profileLoaded());
        QCOMPARE(w.subject->text(), QStringLiteral("I forgot to set the subject"));
        QCOMPARE(w.filemask->text(), QStringLiteral("*.*"));
        QVERIFY(w.separator->isReadOnly());
        QCOMPARE(w.introText().text, QStringLiteral("<< Place your post introduction text here >>"));
        QCOMPARE(lastUsedValue(w.lastUsedStore(), kLastUsedProfile), dir_.filePath("default.tprf"));
        QStringList menus;
        for (QAction* a : w.menuBar->actions()) menus << a->text();
        QCOMPARE(menus, (QStringList{"&File", "&Edit", "&Help"}));
        QCOMPARE(w.newsgroups->toolTip(), QStringLiteral("Seperate by , (comma)."));
        QVERIFY(w.post->isDefault());
    }

    void runCommandComposesOneRunnerPerDirectoryInOrder() {
        StubPrompts prompts;
        StubLauncher launcher;
        CMainDlg w(prompts, launcher, storeFile());
        w.settings().profile().extras.terminal = true;  // a terminal window per job, as older profiles have it
        w.post->click();
        QCOMPARE(prompts.texts(), QStringList{"You need to add directories to make the program post anything."});
        QCOMPARE(prompts.messages[0].caption, QStringLiteral("Contents failure"));

        prompts.folders = {QStringLiteral("/pics/c"), QStringLiteral("/pics/a"), QStringLiteral("/pics/b")};
        for (int i = 0; i < 3; ++i) w.addDirectory->click();
        // A fresh profile's example server: the user is asked first.
        prompts.answers = {false};
        w.post->click();
        QCOMPARE(prompts.questions.size(), 1);
        QVERIFY(prompts.questions[0].contains(QStringLiteral("news.example.net")));
        QVERIFY(launcher.started.empty());
        // Yes: posted; the placeholder intro text is no intro at all.
        w.post->click();
        QCOMPARE(launcher.started.size(), size_t(3));
        QCOMPARE(launcher.started[0].arguments[2], QStringLiteral("/pics/a"));
        QCOMPARE(launcher.started[2].arguments[2], QStringLiteral("/pics/c"));
        for (const auto& c : launcher.started) QVERIFY(!c.arguments.join(' ').contains(QStringLiteral("/itf=")));
        // Written intro text: each directory has its own intro file.
        launcher.started.clear();
        w.introText().text = QStringLiteral("Pictures of the oaks.");
        w.post->click();
        QVERIFY(launcher.started[0].arguments.last().startsWith("/itf="));
        QVERIFY(launcher.started[0].arguments.last() != launcher.started[1].arguments.last());
        for (const auto& c : launcher.started) QFile::remove(c.arguments.last().mid(5));

        // A filemask without wildcards: one message per directory, nothing
        // started.
        launcher.started.clear();
        prompts.messages.clear();
        w.filemask->setText(QStringLiteral("photo.jpg"));
        w.post->click();
        QCOMPARE(prompts.messages.size(), size_t(3));
        QCOMPARE(prompts.messages[2].caption, QStringLiteral("Filemask error"));
        QVERIFY(launcher.started.empty());

        // An author fault names the "Author:" field as owner.
        prompts.messages.clear();
        w.filemask->setText(QStringLiteral("*.jpg"));
        w.author->setText(QStringLiteral("Joe <joe @example.net>"));
        w.post->click();
        QCOMPARE(prompts.messages.size(), size_t(3));
        QCOMPARE(prompts.messages[0].owner, static_cast<QWidget*>(w.author));

        // Without a terminal: one notice naming every directory's log, after all started.
        prompts.messages.clear();
        launcher.started.clear();
        launcher.noTerminal = true;
        w.author->setText(QStringLiteral("Joe <joe@example.net>"));
        w.post->click();
        QCOMPARE(launcher.started.size(), size_t(3));
        QCOMPARE(prompts.messages.size(), size_t(1));
        QVERIFY(prompts.messages[0].text.contains(QStringLiteral("/pics/a: /tmp/run1.log")));
        QVERIFY(prompts.messages[0].text.contains(QStringLiteral("/pics/c: /tmp/run3.log")));
        for (const auto& c : launcher.started) QFile::remove(c.arguments.last().mid(5));
        launcher.noTerminal = false;

        // A runner that cannot start is reported and the loop goes on.
        prompts.messages.clear();
        w.author->setText(QStringLiteral("Joe <joe@example.net>"));
        w.introText().text.clear();
        launcher.fail = true;
        w.post->click();
        QCOMPARE(prompts.messages.size(), size_t(3));
        QCOMPARE(prompts.messages[0].caption, QStringLiteral("Error"));
    }

    void formattedSubjectAndScrambleClicks() {
        StubPrompts prompts;
        StubLauncher launcher;
        CMainDlg w(prompts, launcher, storeFile());
        w.subject->setText(QStringLiteral("Holiday"));
        w.formattedSubject->click();
        QCOMPARE(w.subject->text(), QStringLiteral("Holiday $F"));
        QVERIFY(!w.separator->isReadOnly());
        w.formattedSubject->click();
        QVERIFY(w.separator->isReadOnly());
        w.formattedSubject->click();
        QCOMPARE(w.subject->text(), QStringLiteral("Holiday $F"));

        // Checked, and the "$F" taken out again: nothing starts.
        w.subject->setText(QStringLiteral("Holiday"));
        w.directories->addDirectory(QStringLiteral("/pics"));
        w.post->click();
        QCOMPARE(prompts.messages.back().caption, QStringLiteral("Subject failure"));
        QVERIFY(launcher.started.empty());

        const QColor editableBase = w.author->palette().color(QPalette::Base);
        w.scramble->click();
        QVERIFY(w.author->isReadOnly());
        QVERIFY(w.author->palette().color(QPalette::Base) != editableBase);
        w.scramble->click();
        QVERIFY(!w.author->isReadOnly());
        QCOMPARE(w.author->palette().color(QPalette::Base), editableBase);

        // " $F" always fits the field, even after a full subject.
        w.formattedSubject->click();
        w.subject->setText(QString(259, QLatin1Char('a')));
        w.formattedSubject->click();
        QVERIFY(w.subject->text().endsWith(QStringLiteral("a $F")));
        QCOMPARE(fittingLength(w.subject->text()), static_cast<std::size_t>(w.subject->text().size()));
    }

    void directoryListRemovalRules() {
        StubPrompts prompts;
        StubLauncher launcher;
        CMainDlg w(prompts, launcher, storeFile());
        w.show();
        CDirectoryList* list = w.directories;
        // In the runner's order: case folded to upper, so "_" after letters.
        for (const char* d : {"/_x", "/Oaks", "/aspen", "/Birch"}) list->addDirectory(QString::fromLatin1(d));
        QCOMPARE(list->entries(), (QStringList{"/aspen", "/Birch", "/Oaks", "/_x"}));
        list->clear();
        list->addDirectory(QStringLiteral("/b"));
        list->addDirectory(QStringLiteral("/a"));
        list->addDirectory(QStringLiteral("/a"));
        QCOMPARE(list->entries(), (QStringList{"/a", "/a", "/b"}));
        auto doubleClick = [list](int row) {
            list->setCurrentRow(row);
            const QRect r = list->visualItemRect(list->item(row));
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, r.center());
        };
        doubleClick(2);
        QCOMPARE(list->entries(), (QStringList{"/a", "/a"}));
        doubleClick(0);
        QCOMPARE(list->entries(), QStringList{"/a"});
        doubleClick(0);
        QCOMPARE(list->entries(), QStringList{"/a"});  // the only entry stays
        list->setFocus();
        list->setCurrentRow(0);
        QTest::keyClick(list, Qt::Key_Delete);
        QVERIFY(list->entries().isEmpty());
    }

    void profileCommandsAndTheirMessages() {
        StubPrompts prompts;
        StubLauncher launcher;
        {
            CMainDlg w(prompts, launcher, storeFile());
            w.subject->setText(QStringLiteral("Saved subject"));
            w.nzbFile->setText(QStringLiteral("/home/joe/all.nzb"));
            w.introText().text = QStringLiteral("Hello\nreaders");
            prompts.files.push_back(dir_.filePath("job"));
            w.saveProfileCommand();
            QVERIFY(QFile::exists(dir_.filePath("job.tprf")));
            QVERIFY(QFile::exists(dir_.filePath("job.ttxt")));
            // The stored pair (the defaults of the first start) is replaced.
            QCOMPARE(lastUsedValue(w.lastUsedStore(), kLastUsedProfile), dir_.filePath("job.tprf"));
        }
        {
            // The next start loads the pair remembered.
            CMainDlg w(prompts, launcher, storeFile());
            QVERIFY(w.profileLoaded());
            QCOMPARE(w.subject->text(), QStringLiteral("Saved subject"));
            QCOMPARE(w.nzbFile->text(), QStringLiteral("/home/joe/all.nzb"));
            QCOMPARE(w.introText().text, QStringLiteral("Hello\nreaders"));

            // A short file: "Read failure" with the path; then the
            // companion's intro text is loaded all the same.
            writeBytes(QStringLiteral("short.tprf"), QByteArray(2931, '\0'));
            writeIntroFile(dir_.filePath("short.ttxt"), QStringLiteral("short intro"));
            prompts.messages.clear();
            prompts.files.push_back(dir_.filePath("short.tprf"));
            w.loadProfileCommand();
            QCOMPARE(prompts.messages.size(), size_t(1));
            QCOMPARE(prompts.messages[0].caption, QStringLiteral("Read failure"));
            QCOMPARE(prompts.messages[0].text, dir_.filePath("short.tprf"));
            QCOMPARE(w.introText().text, QStringLiteral("short intro"));
            QCOMPARE(w.subject->text(), QStringLiteral("Saved subject"));

            // A wrong version, and no companion: two messages.
            QByteArray bytes(2932, '\0');
            bytes[0] = 35;
            bytes[4] = char(2932 & 0xFF);
            bytes[5] = char(2932 >> 8);
            writeBytes(QStringLiteral("old.tprf"), bytes);
            prompts.messages.clear();
            prompts.files.push_back(dir_.filePath("old.tprf"));
            w.loadProfileCommand();
            QCOMPARE(prompts.texts(), (QStringList{"Incorrect profile version detected. Profile will not be loaded.",
                                                   dir_.filePath("old.ttxt")}));
            QCOMPARE(prompts.messages[0].caption, QStringLiteral("Load error"));
            QCOMPARE(prompts.messages[1].caption, QStringLiteral("Error: Unable to load"));
            QCOMPARE(prompts.messages[1].icon, MessageIcon::Error);

            // Text of an 8-bit code page shows as Latin-1 and is saved byte
            // for byte as it was loaded.
            ProfileData latin = ProfileData::defaults();
            latin.author = "Jos\xe9 <jose@example.net>";
            latin.subject = "Caf\xe9 pictures";
            QVERIFY(saveProfileFile(dir_.filePath("latin.tprf"), latin));
            prompts.files.push_back(dir_.filePath("latin.tprf"));
            w.loadProfileCommand();
            QCOMPARE(w.author->text(), QStringLiteral("Jos\u00e9 <jose@example.net>"));
            prompts.files.push_back(dir_.filePath("again"));
            w.saveProfileCommand();
            ProfileData again;
            QCOMPARE(readProfileFile(dir_.filePath("again.tprf"), again), ProfileLoad::Loaded);
            QCOMPARE(again.author, latin.author);
            QCOMPARE(again.subject, latin.subject);

            // Saving where no file can be made: both steps report.
            prompts.messages.clear();
            prompts.files.push_back(dir_.filePath("no/such/dir/job"));
            w.saveProfileCommand();
            QCOMPARE(prompts.messages.size(), size_t(2));
            QCOMPARE(prompts.messages[0].caption, QStringLiteral("Error: Unable to save"));
            // ... and the pair last used stays the one that was saved.
            QCOMPARE(lastUsedValue(w.lastUsedStore(), kLastUsedProfile).value_or(QString()),
                     dir_.filePath("again.tprf"));
        }
    }

    void balloonShowsAfterTheDelayAtThePointer() {
        StubPrompts prompts;
        StubLauncher launcher;
        CMainDlg w(prompts, launcher, storeFile());
        w.show();
        CBalloonTip& b = w.balloon();
        QPoint pointer(300, 200);
        QWidget* under = w.formattedSubject;
        b.cursorPosition = [&] { return pointer; };
        b.widgetAtPoint = [&](QPoint) { return under; };
        auto move = [&] {
            QMouseEvent e(QEvent::MouseMove, QPointF(1, 1), QPointF(pointer), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
            QApplication::sendEvent(under, &e);
        };
        move();
        QVERIFY(b.showTimer().isActive());
        QCOMPARE(b.showTimer().interval(), 500);
        QVERIFY(!b.isVisible());
        b.onShowTimer();
        QVERIFY(b.isVisible());
        QVERIFY(b.currentText().startsWith("Format specifiers:\n  $D = Directory"));
        QCOMPARE(b.currentText().count('\n'), 10);
        QVERIFY(b.watchTimer().isActive());
        // With the 16x16 icon the text starts 33 pixels in.
        QCOMPARE(b.shape().textOrigin.x(), 33);
        // The pointer's tip is on the mouse position.
        QCOMPARE(b.pos() + b.shape().pointer[1], pointer);
        QCOMPARE(b.size(), b.shape().window);
        // Its shape: the rounded body and the pointer, nothing around them.
        QVERIFY(b.mask().contains(b.shape().pointer[0] + QPoint(-2, 2)));
        QVERIFY(!b.mask().contains(QPoint(0, 0)));
        QVERIFY(!b.mask().contains(QPoint(1, b.shape().window.height() - 1)));
        // On every side, right and bottom included, from the edge inwards:
        // the 1-pixel outline, the 3-pixel band, then the face.
        const QImage face = b.grab().toImage();
        const QColor ink = b.palette().color(QPalette::Text), band = b.palette().color(QPalette::Mid),
                     base = b.palette().color(QPalette::Base);
        const int bw = b.shape().width, h = b.shape().bodyHeight;
        const std::pair<QPoint, QPoint> sides[] = {{QPoint(bw - 1, h / 2), QPoint(-1, 0)},
                                                   {QPoint(0, h / 2), QPoint(1, 0)},
                                                   {QPoint(bw / 3, h - 1), QPoint(0, -1)},
                                                   {QPoint(bw / 3, 0), QPoint(0, 1)}};
        for (const auto& [edge, step] : sides) {
            QCOMPARE(face.pixel(edge), ink.rgb());
            for (int i = 1; i <= 3; ++i) QCOMPARE(face.pixel(edge + i * step), band.rgb());
            QCOMPARE(face.pixel(edge + 4 * step), base.rgb());
        }

        // Moving within the control restarts the delay at the new place.
        pointer = QPoint(310, 205);
        move();
        QCOMPARE(b.anchor(), pointer);
        QVERIFY(b.showTimer().isActive());
        b.onShowTimer();
        QCOMPARE(b.pos() + b.shape().pointer[1], pointer);

        // A window without a hint hides it at once, and never shows one.
        under = w.post;
        pointer = QPoint(400, 300);
        move();
        QVERIFY(!b.isVisible());
        QVERIFY(!b.showTimer().isActive());

        // A quick pass over a control and off again shows nothing later.
        under = w.formattedSubject;
        pointer = QPoint(420, 310);
        move();
        QVERIFY(b.showTimer().isActive());
        under = w.post;
        pointer = QPoint(430, 310);
        move();
        QVERIFY(!b.showTimer().isActive());

        // The separator's hint has no icon; a click hides the balloon.
        under = w.separator;
        move();
        b.onShowTimer();
        QCOMPARE(b.shape().textOrigin.x(), 12);
        QVERIFY(b.currentText().endsWith("Example 2: \" - \" (without \")"));
        QTest::mousePress(w.separator, Qt::LeftButton);
        QVERIFY(!b.isVisible());
        b.show();
        pointer += QPoint(1, 0);
        b.onWatchTimer();
        QVERIFY(!b.isVisible());
        QVERIFY(!b.watchTimer().isActive());
    }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
