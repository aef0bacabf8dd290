// tskivor: the desktop front end of Tarvel Skivor.
#include <QApplication>

#include "launcher.h"
#include "main_dlg.h"
#include "prompts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Ferrow Works"));
    QApplication::setApplicationName(QStringLiteral("Tarvel Skivor"));
    tskivor::QtPrompts prompts;
    tskivor::ProcessLauncher launcher(tskivor::runnerNextToProgram());
    tskivor::CMainDlg window(prompts, launcher);
    QApplication::setWindowIcon(tskivor::CMainDlg::programIcon());
    window.show();
    return app.exec();
}
