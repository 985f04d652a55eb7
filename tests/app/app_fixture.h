// Shared set-up of the application-shell tests: a temporary program folder holding a
// copy of the shipped database, answered dialogs, and a clean program-wide state.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "app/program_state.h"
#include "app/startup.h"
#include "platform/dialogs.h"
#include "platform/program_folder.h"
#include "platform/qt_text.h"
#include "records/mailbox_store.h"
#include "records/record_database.h"

namespace app_test {

// QTest::qWaitFor keeps processing the engine's steady stream of events until its whole
// time-out has passed; short waits in a loop return as soon as the condition holds.
inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QTest::qWait(10);
    }
    return true;
}

inline std::string gbk(const QString& text) { return platform::toGbk(text); }

class ProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        path = folder.path().toStdString();
        platform::setProgramFolder(path);
        app::releaseProgramState();
        records::setProviderAddresses({});
    }

    void TearDown() override {
        app::releaseProgramState();
        records::closeAllDatabases();
        records::setProviderAddresses({});
        platform::setProgramFolder({});
    }

    void copyShippedDatabase() { ASSERT_TRUE(records::copyMailboxDatabase(TMBL_PROGRAM_DIR, path)); }

    // Changes the copied database before the program under test opens it.
    void editDatabase(const std::function<void()>& edit) {
        ASSERT_TRUE(records::openMailboxDatabase(path));
        edit();
        records::closeMailboxDatabase(path);
    }

    static void writeMailbox(int record, const QString& name, const QString& kind, const QString& type,
                             const QString& user = {}, const QString& address = {},
                             const std::string& description = records::kDescriptionPlaceholder) {
        records::MailboxEntry entry;
        entry.id = record;
        entry.name = gbk(name);
        entry.description = description;
        entry.userName = gbk(user);
        entry.type = gbk(type);
        entry.address = gbk(address);
        entry.loginKind = gbk(kind);
        ASSERT_TRUE(records::writeEntry(record, entry));
    }

    static void writeNotes(const QString& passwordLogin, const QString& password, const QString& newWindows) {
        ASSERT_TRUE(records::writeSettingsNote(1, gbk(passwordLogin)));
        ASSERT_TRUE(records::writeSettingsNote(2, gbk(password)));
        ASSERT_TRUE(records::writeSettingsNote(3, gbk(newWindows)));
    }

    QTemporaryDir folder;
    std::string path;
    platform::ScriptedDialogs dialogs;
};

}  // namespace app_test
