// End to end from the window: the main window, driven by QTest, starts the
// real tskivo (detached, no terminal) for a small tree, and the articles
// arrive at the local INN.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
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

        // No terminal: the runner went to the background and we were told
        // where its output goes.
        QCOMPARE(prompts.messages.size(), size_t(1));
        const QString text = prompts.messages[0].text;
        const QString log = text.mid(text.lastIndexOf(' ') + 1);
        QVERIFY2(QFile::exists(log), qPrintable(text));

        QStringList got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < 3 && clock.elapsed() < 90000) {
            QTest::qWait(500);
            got = subjects(tag);
        }
        QFile output(log);
        output.open(QIODevice::ReadOnly);
        const QString runnerOutput = QString::fromUtf8(output.readAll());
        QVERIFY2(got.size() == 3, qPrintable(got.join('\n') + "\n--- runner:\n" + runnerOutput));
        QVERIFY(got.filter(QStringLiteral("\"photo01.jpg\"")).size() == 1);
        QVERIFY(got.filter(QStringLiteral("\"s01.jpg\"")).size() == 1);
        // The intro text came along, its line that starts with a dot intact.
        const QString article = listing(tag, true);
        QVERIFY2(article.contains(QStringLiteral("\r\nPosted from the window.\r\n.a line with a dot\r\n")),
                 qPrintable(article.left(2000)));
        QFile::remove(log);
    }
};

QTEST_MAIN(WindowEndToEnd)
#include "window_e2e_test.moc"
