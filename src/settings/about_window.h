// The About window "关于": the program's picture, the maker's contact lines and the
// "在线升级" button that opens the update window. Opened modally from the main
// window's second toolbar. User-interface thread only.
#pragma once

#include <QDialog>
#include <QImage>
#include <QSize>

namespace settings {

// What the About window tells about this build; the build fills it from its cache
// variables, tests bring their own. An empty text leaves its line empty.
struct BuildFacts {
    QString version;    // "V2.0"
    QString buildDate;  // "YYYY-MM-DD"
    QString licence;    // an SPDX identifier
    QString homepage;   // the project's web site, an http(s) address
    QString contact;    // the project's mail address
};

// The facts compiled into this program.
BuildFacts compiledBuildFacts();

// Opens the About window, modal over parent, and returns once it has closed.
void showAboutWindow(QWidget* parent);

// The program's picture shown at the top of the About window.
QImage drawAboutPicture(QSize size);

class AboutWindow : public QDialog {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget* parent = nullptr, const BuildFacts& facts = compiledBuildFacts());

    // 按钮1: the online update, modal over this window.
    void openUpdateWindow();
};

}  // namespace settings
