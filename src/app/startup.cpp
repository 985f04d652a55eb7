#include "app/startup.h"

#include <sys/stat.h>

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QPointer>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/anchor_layout.h"
#include "app/main_window.h"
#include "app/program_state.h"
#include "platform/dialogs.h"
#include "platform/program_folder.h"
#include "records/mailbox_store.h"
#include "records/record_database.h"

namespace app {
namespace {

const QString kDesktopFileName = QStringLiteral("yunsuo-mailbox");
const QString kIconFileName = QStringLiteral("yunsuo-mailbox.png");
const QString kTightenedNotice = QStringLiteral("提示信息：信息数据库曾可被其他用户读取，现已改为仅限本用户访问。");

}  // namespace

void releaseProgramState() {
    state().reset();
    clearLayoutAnchors();
    records::closeMailboxDatabase(platform::dataFolder());
}

QIcon applicationIcon() {
    QIcon icon = QIcon::fromTheme(kDesktopFileName);
    if (icon.isNull()) {
        const QString file = QString::fromStdString(platform::programFolder()) + u'/' + kIconFileName;
        if (QFileInfo::exists(file)) icon = QIcon(file);
    }
    return icon;
}

void installApplicationIdentity() {
    // Taskbars and docks match windows to the menu entry by this name.
    QGuiApplication::setDesktopFileName(kDesktopFileName);
    // Every window without an icon of its own, message boxes included, shows this one.
    QApplication::setWindowIcon(applicationIcon());
}

void installRuntimeErrorReport() {
    // The record library ends the process after its report; the user sees it first.
    records::setRuntimeErrorHook([](const std::string& report) {
        platform::messageBox(nullptr, QString::fromStdString(report), platform::MessageIcon::Error);
    });
}

int runProgram(const QString& homeUrl) {
    state();  // created before anything reads it
    static bool cleanUpRegistered = false;
    if (!cleanUpRegistered) {
        qAddPostRoutine(releaseProgramState);
        cleanUpRegistered = true;
    }
    installRuntimeErrorReport();

    // A missing or damaged database is left as found: opening it fails and the main
    // window tells the user.
    const platform::DataFolderReport data = platform::prepareDataFolder();

    auto window = std::make_unique<MainWindow>(homeUrl);
    switch (window->create()) {
        case StartOutcome::DatabaseMissing:
        case StartOutcome::PasswordCancelled:
        case StartOutcome::SettingsUnreadable:
            return 0;
        case StartOutcome::Running:
            break;
    }
    if (data.tightened) window->showStatusNotice(kTightenedNotice);
    if (!qEnvironmentVariableIsEmpty("TMBL_EXIT_WHEN_SHOWN")) {
        // Installation checks start the program without a person in front of it: they
        // learn that the window came up and where the data went, then the program ends.
        QCoreApplication::processEvents();
        std::printf("%s: %s\n", window->isVisible() ? "shown" : "hidden", platform::dataFolder().c_str());
        std::fflush(stdout);
        return 0;
    }

    // Windows the pages opened do not keep the program alive once the main window is gone.
    QObject::connect(window.get(), &MainWindow::closed, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    const int code = QApplication::exec();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != window.get() && !w->parentWidget()) w->deleteLater();
    }
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return code;
}

std::optional<std::string> displayProblem() {
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    if (!env("QT_QPA_PLATFORM").empty() || !env("WAYLAND_DISPLAY").empty()) return std::nullopt;
    const std::string display = env("DISPLAY");
    if (display.empty()) {
        return "云梭邮盒需要图形桌面，但没有找到显示器（DISPLAY 未设置）。\n"
               "No display: set DISPLAY, or start the program under xvfb-run.";
    }
    // A local display ":N" or ":N.S" has its socket under /tmp/.X11-unix; without it the
    // window system would abort the program with a far less helpful message.
    if (display.front() == ':') {
        std::string number = display.substr(1);
        number = number.substr(0, number.find('.'));
        struct stat info {};
        if (number.empty() || stat(("/tmp/.X11-unix/X" + number).c_str(), &info) != 0) {
            return "云梭邮盒无法连接显示器 " + display + "。\nThe display " + display +
                   " cannot be reached: start the X server, or start the program under xvfb-run.";
        }
    }
    return std::nullopt;
}

}  // namespace app
