// tskivor: the desktop front end of Tarvel Skivor.
//   tskivor                      the main window
//   tskivor --screenshots DIR    saves PNGs of every window for review, then ends
#include <QApplication>
#include <QDir>
#include <QCheckBox>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

#include "balloon_tip.h"
#include "color_picker.h"
#include "launcher.h"
#include "main_dlg.h"
#include "prompts.h"

namespace {

void settle() {
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
}

int saveScreenshots(tskivor::CMainDlg& window, const QString& dir) {
    QDir().mkpath(dir);
    auto save = [&dir](const QPixmap& pm, const char* name) {
        const QString path = dir + '/' + QString::fromLatin1(name) + QStringLiteral(".png");
        if (!pm.save(path)) std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        else std::printf("%s\n", qPrintable(path));
    };
    window.directories->addDirectory(QStringLiteral("/home/user/Pictures/Holiday"));
    window.directories->addDirectory(QStringLiteral("/home/user/Pictures/Oaks"));
    // The jobs list as it stands part way through a run.
    using tskivor::Job;
    const QString data = QStringLiteral("/home/user/.local/share/tarvel-skivor/nzb/");
    const auto row = [&](const char* folder, Job::State state, double share, std::uint64_t rate, std::int64_t left) {
        Job j;
        j.directory = QStringLiteral("/home/user/Pictures/") + QString::fromLatin1(folder);
        j.command.nzbPath = data + QString::fromLatin1(folder) + QStringLiteral(".nzb");
        j.state = state;
        j.share = share;
        j.rate = rate;
        j.secondsLeft = left;
        return j;
    };
    Job done = row("Autumn", Job::State::Done, 1, 0, -1);
    done.bytes = 734003200;
    done.articles = 1901;
    done.seconds = 61.4;
    done.status = 0;
    window.jobs().showRow(done);
    window.jobs().showRow(row("Holiday", Job::State::Posting, 0.47, 12400000, 38));
    Job par2 = row("Oaks", Job::State::MakingPar2, 0, 0, -1);
    par2.par2Percent = 60;
    window.jobs().showRow(par2);
    Job failed = row("Winter", Job::State::Failed, 0, 0, -1);
    failed.status = 255;
    failed.error = QStringLiteral("Unable to create IP socket (news.example.net:119: connect: Connection refused): "
                                  "news.example.net:119 refused the connection; check the server name and the port (/port=).");
    failed.log = {QStringLiteral("tskivo Me <me@example.net> Winter /home/user/Pictures/Winter alt.binaries.pictures "
                                 "news.example.net  *.* /port=119 /maxlines=2500 /nfl /nzb=") + data +
                      QStringLiteral("Winter.nzb /json"),
                  QStringLiteral("Folder 1 of 1"), failed.error,
                  QStringLiteral("retrying in 5 s: news.example.net:119 refused the connection; check the server name and the port (/port=)."),
                  failed.error, QStringLiteral("Too many retries, I give up."),
                  QStringLiteral("Status 255: a job failed (see above)")};
    window.jobs().showRow(failed);
    Job retrying = row("Spring", Job::State::Posting, 0, 0, -1);
    retrying.waiting = QStringLiteral("retrying in 52 s: news.example.net:119 timed out");
    window.jobs().showRow(retrying);
    window.jobs().showRow(row("Zoo", Job::State::Waiting, 0, 0, -1));
    window.move(0, 0);
    window.show();
    settle();
    save(window.grab(), "main-window");

    // A job's whole log, on request.
    window.jobsList->setCurrentItem(window.jobsList->topLevelItem(3));
    window.showLog->click();
    settle();
    for (QDialog* d : window.findChildren<QDialog*>())
        if (d->isVisible() && d->windowTitle().startsWith(QStringLiteral("Log of"))) {
            save(d->grab(), "job-log");
            d->hide();
        }

    tskivor::CSettings& sheet = window.settings();
    sheet.show();
    for (int i = 0; i < sheet.tabs()->count(); ++i) {
        sheet.tabs()->setCurrentIndex(i);
        settle();
        const QString name = QStringLiteral("settings-%1").arg(i + 1);
        save(sheet.grab(), name.toLatin1().constData());
    }
    sheet.hide();

    // What "Test connection" says, as it says it of a server that takes posts.
    QMessageBox test(QMessageBox::Information, QStringLiteral("Test connection"),
                     QStringLiteral("The server can be posted on.\n\nConnected to news.example.net:563 over TLS.\n"
                                    "The server says: 200 news.example.net NNRP Service Ready (posting ok)\n"
                                    "Logged in as me.\nPosting is allowed."),
                     QMessageBox::Ok);
    test.show();
    settle();
    save(test.grab(), "server-test");
    test.hide();

    tskivor::CColorPicker picker(tskivor::platformColour({255, 128, 0}));
    picker.show();
    settle();
    save(picker.grab(), "color-picker");
    picker.hide();

    // The balloon of the formatted-subject box, shown where the pointer
    // would rest on it; the window moves down so the balloon fits above.
    window.move(300, 300);
    settle();
    tskivor::CBalloonTip& balloon = window.balloon();
    QWidget* box = window.formattedSubject;
    const QPoint rest = box->mapToGlobal(QPoint(box->width() / 2, box->height() / 2));
    balloon.cursorPosition = [rest] { return rest; };
    balloon.widgetAtPoint = [box](QPoint) { return box; };
    QMouseEvent move(QEvent::MouseMove, QPointF(1, 1), QPointF(rest), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(box, &move);
    balloon.onShowTimer();
    settle();
    const QRect area = window.frameGeometry().united(balloon.geometry()).adjusted(-10, -10, 10, 10);
    save(QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()),
         "balloon-hint");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Ferrow Works"));
    QApplication::setApplicationName(QStringLiteral("Tarvel Skivor"));
    QApplication::setWindowIcon(tskivor::CMainDlg::programIcon());
    tskivor::QtPrompts prompts;
    tskivor::ProcessLauncher launcher(tskivor::runnerNextToProgram());
    const QStringList args = QApplication::arguments();
    const qsizetype shots = args.indexOf(QStringLiteral("--screenshots"));
    if (shots > 0 && shots + 1 < args.size()) {
        // A store of its own, so screenshots never touch the user's.
        const QString store = QDir(args[shots + 1]).filePath(QStringLiteral("screenshots-store.ini"));
        int rc = 0;
        {
            tskivor::CMainDlg window(prompts, launcher, store);
            rc = saveScreenshots(window, args[shots + 1]);
        }
        QFile::remove(store);
        QFile::remove(store + QStringLiteral(".jobs.json"));
        return rc;
    }
    tskivor::CMainDlg window(prompts, launcher);
    window.show();
    return app.exec();
}
