// A temporary program folder holding a copy of the shipped record database and a
// set of icon files, made current for the settings windows under test, and what an
// opener hands those windows.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include "platform/program_folder.h"
#include "records/mailbox_store.h"
#include "settings/entry_store.h"
#include "settings/icon_files.h"
#include "settings/settings_window.h"

namespace settings::testing {

class ProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        ASSERT_TRUE(records::copyMailboxDatabase(TMBL_PROGRAM_DIR, folder()));
        ASSERT_TRUE(QDir(m_folder.path()).mkpath(QStringLiteral("ico")));
        // Icon i is a square of its own grey, so shifts and replacements show; its
        // white top-left pixel is the colour the icon list makes transparent.
        for (int i = 0; i <= 10; ++i) {
            QImage icon(48, 48, QImage::Format_RGB32);
            icon.fill(iconGrey(i));
            icon.setPixelColor(0, 0, Qt::white);
            ASSERT_TRUE(icon.save(iconPath(i), "BMP"));
        }
        platform::setProgramFolder(folder());
        ASSERT_TRUE(records::openMailboxDatabase(folder()));
    }

    void TearDown() override {
        records::closeMailboxDatabase(folder());
        platform::setProgramFolder(std::string());
    }

    static EntryStore& store() { return currentDatabaseStore(); }

    static QColor iconGrey(int i) { return QColor(10 + i * 20, 10 + i * 20, 10 + i * 20); }
    std::string folder() const { return m_folder.path().toStdString(); }
    QString iconPath(int i) const { return m_folder.path() + QStringLiteral("/ico/%1.ico").arg(i); }

    QTemporaryDir m_folder;
};

}  // namespace settings::testing
