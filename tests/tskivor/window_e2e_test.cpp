// End to end from the window: the main window, driven by QTest, starts the
// real tskivo (detached, no terminal) for a small tree, and the articles
// arrive at the local INN.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include "gui_stubs.h"
#include "main_dlg.h"

using namespace tskivor;

class WindowEndToEnd : public QObject {
    Q_OBJECT

    static QString listing(const QString& prefix, bool withArticle = false) {
        QProcess p;
        QStringList args{QStringLiteral(TSKIVO_E2E_DIR "/list_subjects.py"), QStringLiteral("alt.binaries.test"),
                         prefix};
        if (withArticle) args << QStringLiteral("--first-article");
        p.start(QStringLiteral("python3"), args);
        p.waitForFinished(30000);
        return QString::fromLatin1(p.readAllStandardOutput());
    }
    static QStringList subjects(const QString& prefix) { return listing(prefix).split('\n', Qt::SkipEmptyParts); }

private slots:
    void postsATreeThroughTheRunner() {
        QTemporaryDir work;
        QVERIFY(work.isValid());
        // The intro text file (left for the runner, which reads it later),
        // the runner's log and its private folder: all inside `work`.
        qputenv("TMPDIR", QFile::encodeName(work.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(work.filePath(QStringLiteral("data"))));
        const QString tree = work.filePath(QStringLiteral("tree"));
        QVERIFY(QDir().mkpath(tree + "/sub"));
        QCOMPARE(QProcess::execute(QStringLiteral(TSKIVO_BIN_DIR "/make_pictures"),
                                   {tree, "2", "320", "240"}), 0);
        QCOMPARE(QProcess::execute(QStringLiteral(TSKIVO_BIN_DIR "/make_pictures"),
                                   {tree + "/sub", "1", "320", "240", "s"}), 0);

        tskivor_testing::StubPrompts prompts;
        ProcessLauncher launcher(QStringLiteral(TSKIVO_BIN_DIR "/tskivo"), QStringLiteral("none"));
        CMainDlg w(prompts, launcher, work.filePath(QStringLiteral("store.ini")));
        const QString tag = QStringLiteral("Window ") + QUuid::createUuid().toString(QUuid::Id128).left(10);
        w.author->setText(QStringLiteral("Tester <tester@example.org>"));
        w.subject->setText(tag);
        w.newsgroups->setText(QStringLiteral("alt.binaries.test"));
        w.introText().text = QStringLiteral("Posted from the window.\n.a line with a dot");
        w.settings().server.values.server = QStringLiteral("127.0.0.1");
        w.settings().GatherPagesIntoProfile();
        prompts.folders.push_back(tree);
        QTest::mouseClick(w.addDirectory, Qt::LeftButton);
        QTest::mouseClick(w.post, Qt::LeftButton);

        // The job runs in the window's jobs list, no terminal, no messages.
        QVERIFY2(prompts.messages.empty(), qPrintable(prompts.texts().join('\n')));
        QCOMPARE(w.jobsList->topLevelItemCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(w.jobs().jobs()[0].finished(), 120000);
        const Job& job = w.jobs().jobs()[0];
        QVERIFY2(job.state == Job::State::Done, qPrintable(w.jobsList->topLevelItem(0)->text(5)));
        QVERIFY(QFile::exists(job.command.nzbPath));
        QStringList got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < 3 && clock.elapsed() < 30000) {
            got = subjects(tag);
            if (got.size() < 3) QTest::qWait(200);
        }
        QVERIFY2(got.size() == 3, qPrintable(got.join('\n')));
        QVERIFY(got.filter(QStringLiteral("\"photo01.jpg\"")).size() == 1);
        QVERIFY(got.filter(QStringLiteral("\"s01.jpg\"")).size() == 1);
        // The intro text came along, its line that starts with a dot intact.
        const QString article = listing(tag, true);
        QVERIFY2(article.contains(QStringLiteral("\r\nPosted from the window.\r\n.a line with a dot\r\n")),
                 qPrintable(article.left(2000)));
    }
};

QTEST_MAIN(WindowEndToEnd)
#include "window_e2e_test.moc"
