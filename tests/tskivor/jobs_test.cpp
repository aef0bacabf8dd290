// The jobs list of the main window, with the real runner against a scripted
// server: jobs in order, one at a time; a cancelled job resumed; a failed one
// with its reason.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <map>
#include <regex>
#include <set>
#include <thread>

#include "fake_nntp_server.h"
#include "gui_stubs.h"
#include "main_dlg.h"

using namespace tskivor;
using testing_support::ConcurrentNntpServer;

namespace {

void writeRandom(const QString& path, int size, unsigned seed) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) data[i] = static_cast<char>((seed * 2654435761u + static_cast<unsigned>(i) * 40503u) >> 13);
    f.write(data);
}

// "name part" of an article's yEnc header.
std::string partKey(const testing_support::ReceivedArticle& a) {
    std::smatch m;
    const std::string body = a.body();
    std::regex_search(body, m, std::regex("=ybegin part=([0-9]+) .* name=([^\r]*)\r\n"));
    return m[2].str() + " " + m[1].str();
}

}  // namespace

class JobsTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    tskivor_testing::StubPrompts prompts_;
    tskivor_testing::StubLauncher launcher_;

    // A window set up to post *.bin files to `port`, one job at a time.
    std::unique_ptr<CMainDlg> window(int port, bool freshList = true) {
        launcher_.runner = QStringLiteral(TSKIVO_BIN);
        if (freshList) QFile::remove(work_.filePath(QStringLiteral("store.ini.jobs.json")));  // each case its own list
        auto w = std::make_unique<CMainDlg>(prompts_, launcher_, work_.filePath(QStringLiteral("store.ini")));
        w->author->setText(QStringLiteral("Tester <tester@example.org>"));
        w->subject->setText(QStringLiteral("Jobs"));
        w->newsgroups->setText(QStringLiteral("alt.binaries.test"));
        w->filemask->setText(QStringLiteral("*.bin"));
        w->introText().text.clear();
        auto& server = w->settings().server.values;
        server.server = QStringLiteral("127.0.0.1");
        server.port = port;
        server.maxLines = 20;
        w->settings().GatherPagesIntoProfile();
        return w;
    }
    QString folder(const QString& name, int files, int size) {
        const QString path = work_.filePath(name);
        QDir().mkpath(path);
        for (int i = 1; i <= files; ++i) writeRandom(path + QStringLiteral("/%1%2.bin").arg(name).arg(i), size, qHash(name) + i);
        return path;
    }
    static const Job& job(CMainDlg& w, int row) { return w.jobs().jobs()[static_cast<std::size_t>(row)]; }

private slots:
    void initTestCase() {
        QVERIFY(work_.isValid());
        // One attempt an article: a server that is down fails the job at once.
        QDir().mkpath(work_.filePath(QStringLiteral("config")));
        QFile ini(work_.filePath(QStringLiteral("config/pelmor.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("max_retries\t1\n");
        ini.close();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(work_.filePath(QStringLiteral("config"))));
        qputenv("TMPDIR", QFile::encodeName(work_.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(work_.filePath(QStringLiteral("data"))));
    }

    void threeDirectoriesRunInOrderOneAtATime() {
        ConcurrentNntpServer server;
        auto w = window(server.port());
        for (const char* name : {"c", "a", "b"}) prompts_.folders.push_back(folder(QString::fromLatin1(name), 2, 3000));
        w->jobs().setRunnerIdleMs(300);
        for (int i = 0; i < 3; ++i) w->addDirectory->click();
        w->post->click();
        QCOMPARE(w->jobsList->topLevelItemCount(), 3);
        QCOMPARE(w->jobsList->topLevelItem(2)->text(1), QStringLiteral("waiting"));
        QTRY_VERIFY_WITH_TIMEOUT(w->jobs().running() == 0 && job(*w, 2).finished(), 60000);
        std::uint64_t articles = 0;
        for (int row = 0; row < 3; ++row) {
            const Job& j = job(*w, row);
            QCOMPARE(stateText(j.state), QStringLiteral("done"));
            QCOMPARE(w->jobsList->topLevelItem(row)->text(1), QStringLiteral("done"));
            QCOMPARE(j.status, 0);
            QVERIFY(j.articles > 0);
            articles += j.articles;
            QVERIFY2(QFile::exists(j.command.nzbPath), qPrintable(j.command.nzbPath));
            QVERIFY(w->jobsList->topLevelItem(row)->text(5).contains(j.command.nzbPath));
        }
        QCOMPARE(server.server().mostAtOnce(), 1);
        // One runner took the jobs in turn: the connection of the first
        // posted the others, logged in once.
        QCOMPARE(server.server().connections(), 1);
        // With nothing more to do, the runner ends after its idle time.
        QTRY_COMPARE_WITH_TIMEOUT(w->jobs().runners(), 0, 10000);
        const auto posted = server.server().acceptedArticles();
        QCOMPARE(static_cast<std::uint64_t>(posted.size()), articles);
        // In the list's order: every article of a's files, then b's, then c's.
        std::string order;
        for (const auto& a : posted)
            if (order.empty() || order.back() != partKey(a)[0]) order += partKey(a)[0];
        QCOMPARE(QString::fromStdString(order), QStringLiteral("abc"));
        // The NZB's folder opens on request.
        QString opened;
        w->openFolder = [&](const QString& f) { opened = f; };
        w->jobsList->setCurrentItem(w->jobsList->topLevelItem(0));
        w->openNzbFolder->click();
        QCOMPARE(opened, QFileInfo(job(*w, 0).command.nzbPath).absolutePath());
        w->clearJobs->click();
        QCOMPARE(w->jobsList->topLevelItemCount(), 0);
    }

    void aCancelledJobSavesItsNzbAndRetryPostsTheRestOnce() {
        ConcurrentNntpServer server;
        // A slow server: the job is still posting when it is cancelled.
        server.script->beforeAccepting = [](const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        };
        auto w = window(server.port());
        prompts_.folders.push_back(folder(QStringLiteral("slow"), 1, 100000));
        prompts_.folders.push_back(folder(QStringLiteral("waits"), 1, 1000));
        prompts_.folders.push_back(folder(QStringLiteral("wz"), 1, 1000));
        for (int i = 0; i < 3; ++i) w->addDirectory->click();
        w->post->click();
        // The waiting job is cancelled at once and never posts.
        w->jobsList->setCurrentItem(w->jobsList->topLevelItem(1));
        w->cancelJob->click();
        QCOMPARE(stateText(job(*w, 1).state), QStringLiteral("cancelled"));
        QTRY_VERIFY_WITH_TIMEOUT(server.server().acceptedArticles().size() >= 3, 30000);
        w->jobsList->setCurrentItem(w->jobsList->topLevelItem(0));
        QVERIFY(w->cancelJob->isEnabled());
        // Once: a second stop request would end the runner before it saved its NZB.
        w->cancelJob->click();
        QVERIFY(!w->cancelJob->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(job(*w, 0).finished(), 30000);
        QCOMPARE(stateText(job(*w, 1).state), QStringLiteral("cancelled"));
        QCOMPARE(stateText(job(*w, 0).state), QStringLiteral("cancelled"));
        QCOMPARE(job(*w, 0).status, 130);
        // The next job runs, in a runner of its own: the stopped one ends.
        QTRY_VERIFY_WITH_TIMEOUT(job(*w, 2).finished(), 30000);
        QCOMPARE(stateText(job(*w, 2).state), QStringLiteral("done"));
        std::size_t before = 0;
        for (const auto& a : server.server().acceptedArticles()) {
            QVERIFY(partKey(a).rfind("waits", 0) != 0);
            before += partKey(a).rfind("slow", 0) == 0;
        }
        QFile nzb(job(*w, 0).command.nzbPath);
        QVERIFY(nzb.open(QIODevice::ReadOnly));
        QCOMPARE(static_cast<std::size_t>(nzb.readAll().count("<segment ")), before);
        // The window closed and opened again: the list is back, Retry finishes the job.
        w.reset();
        w = window(server.port(), false);
        QCOMPARE(w->jobsList->topLevelItemCount(), 3);
        QCOMPARE(stateText(job(*w, 0).state), QStringLiteral("cancelled"));
        w->jobsList->setCurrentItem(w->jobsList->topLevelItem(0));
        QVERIFY(w->retryJob->isEnabled());
        w->retryJob->click();
        QTRY_VERIFY_WITH_TIMEOUT(job(*w, 0).finished(), 60000);
        QCOMPARE(stateText(job(*w, 0).state), QStringLiteral("done"));
        std::set<std::string> parts;
        for (const auto& a : server.server().acceptedArticles())
            if (partKey(a).rfind("slow", 0) == 0) QVERIFY2(parts.insert(partKey(a)).second, partKey(a).c_str());
        QVERIFY(parts.size() > before);
        QCOMPARE(static_cast<int>(parts.size()), (100000 + 128 * 20 - 1) / (128 * 20));
    }

    void droppedFoldersAndFilesBecomeRowsAndAFilePostsAlone() {
        ConcurrentNntpServer server;
        auto w = window(server.port());
        const QString dropped = folder(QStringLiteral("dropped"), 2, 2000);
        const QString alone = folder(QStringLiteral("alone"), 3, 1500) + QStringLiteral("/alone2.bin");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(dropped), QUrl::fromLocalFile(alone), QUrl(QStringLiteral("https://example.org/x"))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w.get(), &drop);
        QCOMPARE(w->directories->entries(), (QStringList{alone, dropped}));
        w->post->click();
        QCOMPARE(w->jobsList->topLevelItemCount(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(job(*w, 1).finished(), 30000);
        QCOMPARE(stateText(job(*w, 0).state), QStringLiteral("done"));
        std::set<std::string> names;
        for (const auto& a : server.server().acceptedArticles()) names.insert(partKey(a).substr(0, partKey(a).find(' ')));
        QCOMPARE(names, (std::set<std::string>{"alone2.bin", "dropped1.bin", "dropped2.bin"}));
    }

    void testConnectionSaysWhatTheServerAllows() {
        ConcurrentNntpServer server;
        auto w = window(server.port());
        CSettingsServer& page = w->settings().server;
        page.showValues();
        page.testConnection->click();
        QVERIFY2(page.lastTest.startsWith(QStringLiteral("The server can be posted on.")) &&
                     page.lastTest.contains(QStringLiteral("Posting is allowed.")),
                 qPrintable(page.lastTest));
        QCOMPARE(prompts_.messages.back().caption, QStringLiteral("Test connection"));
        page.port->setText(QStringLiteral("1"));
        page.testConnection->click();
        QVERIFY2(page.lastTest.startsWith(QStringLiteral("The test failed.")) &&
                     page.lastTest.contains(QStringLiteral("127.0.0.1:1 refused the connection")),
                 qPrintable(page.lastTest));
    }

    void aJobThatFailsSaysWhyAndWithWhatStatus() {
        auto w = window(1);  // nothing listens there
        w->introText().text = QStringLiteral("Hello from the oaks.");
        prompts_.folders.push_back(folder(QStringLiteral("down"), 1, 100));
        w->addDirectory->click();
        w->post->click();
        QTRY_VERIFY_WITH_TIMEOUT(job(*w, 0).finished(), 30000);
        QCOMPARE(stateText(job(*w, 0).state), QStringLiteral("failed"));
        QCOMPARE(job(*w, 0).status, 255);
        const QString result = w->jobsList->topLevelItem(0)->text(5);
        // The words that say it, first; the whole error in the tip and the log.
        QVERIFY2(result.startsWith(QStringLiteral("Status 255: 127.0.0.1:1 refused the connection")), qPrintable(result));
        QVERIFY(w->jobsList->topLevelItem(0)->toolTip(5).contains(QStringLiteral("Unable to create IP socket")));
        w->jobsList->setCurrentItem(w->jobsList->topLevelItem(0));
        QVERIFY(w->showLog->isEnabled());
        QVERIFY2(w->jobLog(0).contains(QStringLiteral("tskivo ")) && w->jobLog(0).contains(QStringLiteral("Unable to create IP socket")),
                 qPrintable(w->jobLog(0)));
        // The port mended in Settings: Retry runs with it, resuming.
        ConcurrentNntpServer server;
        w->settings().server.values.port = server.port();
        w->settings().GatherPagesIntoProfile();
        const QString firstIntro = job(*w, 0).command.introFile;
        QVERIFY(QFile::exists(firstIntro));
        w->retryJob->click();
        const QString secondIntro = job(*w, 0).command.introFile;
        QVERIFY(secondIntro != firstIntro && !QFile::exists(firstIntro));
        QTRY_VERIFY_WITH_TIMEOUT(job(*w, 0).finished(), 30000);
        QVERIFY2(!QFile::exists(secondIntro), "no intro file is left behind");
        QCOMPARE(stateText(job(*w, 0).state), QStringLiteral("done"));
        QVERIFY(job(*w, 0).command.arguments.contains(QStringLiteral("/port=%1").arg(server.port())));
        QVERIFY(job(*w, 0).command.arguments.contains(QStringLiteral("/resume")));
        QVERIFY(!server.server().acceptedArticles().empty());
    }
};

QTEST_MAIN(JobsTest)
#include "jobs_test.moc"
