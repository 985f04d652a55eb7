// Program-wide state of 云梭邮盒: the last clicked mailbox, the start-up settings and
// the shared 48x48 icon list. One instance lives from start to exit; every window reads
// and writes it on the user-interface thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QPixmap>
#include <string>

#include "records/mailbox_store.h"

namespace app {

class ProgramState : public QObject {
    Q_OBJECT
public:
    records::MailboxEntry currentEntry;  // last clicked mailbox
    int selectedButton = 0;
    bool loginDone = false;
    bool passwordLogin = false;  // start-up value, kept until next start
    std::string accessPassword;  // GBK
    bool allowNewWindows = false;
    QList<QPixmap> iconList;  // 48x48, from ico/0.ico..10.ico, missing files shift

    // Reads the icon files of the data folder again and emits iconListChanged.
    void rebuildIconList();

    // Back to the values of a fresh start (the clean-up at exit, and tests).
    void reset();

    // Entry n's account changed: the browser session kept for it belongs to the old one.
    void endSession(int entry) { emit sessionEndRequested(entry); }

signals:
    void iconListChanged();
    void sessionEndRequested(int entry);
};

// The one instance, created on first use.
ProgramState& state();

}  // namespace app
