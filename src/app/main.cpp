// 云梭邮盒: checks that there is a display, starts the runtime in the program folder and
// hands over to the application shell.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>
#include <cstdio>

#include "app/startup.h"
#include "platform/program_folder.h"

int main(int argc, char** argv) {
    if (const std::optional<std::string> problem = app::displayProblem()) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 1;
    }
    // The browser engine refuses to start as root with its sandbox on.
    if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    // The engine describes its graphics set-up at every start; users need not read it.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    QDir::setCurrent(QString::fromStdString(platform::programFolder()));
    app::installApplicationIdentity();
    return app::runProgram();
}
