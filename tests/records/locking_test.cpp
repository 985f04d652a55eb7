#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "edb_fixture.h"
#include "records/record_database.h"
#include "test_folder.h"

namespace {

using namespace records;
using namespace records::testing;
namespace err = records::edb::error;

// One byte through a pipe, to step two processes in turn.
struct Signal {
    int fds[2] = {-1, -1};
    Signal() { EXPECT_EQ(pipe(fds), 0); }
    ~Signal() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void send() { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
    bool wait() {
        char c;
        return ::read(fds[0], &c, 1) == 1;
    }
};

class Locking : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_folder.file("shared.edb");
        ASSERT_EQ(createDatabase(m_path, 3, allTypes(), "pw"), 0);
    }
    void TearDown() override {
        closeAllDatabases();
        setLockWaitTimeout(0);
    }
    bool open(int shareMode = 0, bool readOnly = false) {
        OpenOptions options;
        options.password = "pw";
        options.shareMode = shareMode;
        options.readOnly = readOnly;
        return openDatabase(m_path, options);
    }
    static int childExit(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TestFolder m_folder;
    std::string m_path;
};

TEST_F(Locking, ReaderWaitsForAnotherProcessWritingTheRecord) {
    ASSERT_TRUE(open());
    ASSERT_TRUE(goToRecord(2));
    ASSERT_TRUE(writeField("text", std::string("old")));
    const int64_t recordStart = kAllTypesDataStart + kAllTypesRecordLength;

    Signal locked, proceed;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Another copy of the program in the middle of writing record 2.
        RecordFile file;
        if (file.open(m_path, false, ShareMode::ShareAll, "pw") != 0) _exit(2);
        if (file.lock(recordStart, 1) != 0) _exit(3);
        locked.send();
        if (!proceed.wait()) _exit(4);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        std::vector<uint8_t> text = {'n', 'e', 'w', 0};
        if (file.writeAt(recordStart + kAllTypesTextOffset, text) != 0) _exit(5);
        file.unlock(recordStart, 1);
        _exit(0);
    }
    ASSERT_TRUE(locked.wait());

    // With no lock wait (the program's setting) a held record fails at once.
    EXPECT_EQ(readText("text"), "");
    EXPECT_EQ(lastError(), err::kLockViolation);
    EXPECT_FALSE(writeField("text", std::string("mine")));
    EXPECT_EQ(lastError(), err::kLockViolation);
    // Other records are free.
    ASSERT_TRUE(goToRecord(1));
    EXPECT_TRUE(writeField("text", std::string("free")));
    ASSERT_TRUE(goToRecord(2));

    // With a lock wait the reader blocks until the writer is done and sees its value.
    setLockWaitTimeout(-1);
    proceed.send();
    EXPECT_EQ(readText("text"), "new");
    EXPECT_EQ(lastError(), 0);
    EXPECT_EQ(childExit(pid), 0);
}

TEST_F(Locking, OpeningWaitsForTheWholeFileAndCountingWaitsTwoSeconds) {
    Signal locked, proceed;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        RecordFile file;
        if (file.open(m_path, false, ShareMode::ShareAll, "pw") != 0) _exit(2);
        if (file.lock(edb::kRecordCountOffset, 1) != 0) _exit(3);
        locked.send();
        if (!proceed.wait()) _exit(4);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        file.unlock(edb::kRecordCountOffset, 1);
        _exit(0);
    }
    ASSERT_TRUE(locked.wait());
    // Open locks the whole file: another process's lock inside it stops it.
    EXPECT_FALSE(open());
    EXPECT_EQ(lastError(), err::kLockViolation);
    EXPECT_TRUE(openDatabasePaths().empty());

    setLockWaitTimeout(-1);
    proceed.send();
    ASSERT_TRUE(open()) << lastError();  // waits for the unlock
    setLockWaitTimeout(0);

    // The record count lock waits at least two seconds even with no lock wait set; the
    // child takes it again for 200 ms.
    ASSERT_EQ(childExit(pid), 0);
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        RecordFile file;
        if (file.open(m_path, false, ShareMode::ShareAll, "pw") != 0) _exit(2);
        if (file.lock(edb::kRecordCountOffset, 1) != 0) _exit(3);
        locked.send();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        _exit(0);  // the lock goes with the process
    }
    ASSERT_TRUE(locked.wait());
    EXPECT_TRUE(goToRecord(3)) << lastError();
    EXPECT_EQ(childExit(pid), 0);
}

TEST_F(Locking, ShareModesKeepOtherOpenersOut) {
    struct Case {
        int firstMode;
        bool firstReadOnly;
        int secondMode;
        bool secondReadOnly;
        bool secondOpens;
    } cases[] = {
        {1, false, 1, false, true},   // share everything
        {4, false, 1, true, false},   // exclusive
        {0, true, 4, false, false},   // an exclusive opener meets a reader
        {3, false, 1, true, true},    // deny writing: readers welcome
        {3, false, 1, false, false},  //   writers not
        {2, false, 1, true, false},   // deny reading
        {1, false, 3, true, false},   // deny writing while someone writes
        {1, true, 3, false, true},    // deny writing while someone only reads
        {1, true, 2, true, false},    // deny reading while someone reads
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.firstMode << (c.firstReadOnly ? "r" : "rw") << " then " << c.secondMode
                                          << (c.secondReadOnly ? "r" : "rw"));
        ASSERT_TRUE(open(c.firstMode, c.firstReadOnly)) << lastError();
        RecordFile second;
        int rc = second.open(m_path, c.secondReadOnly, shareModeFromCode(c.secondMode), "pw");
        EXPECT_EQ(rc, c.secondOpens ? 0 : err::kSharingViolation);
        second.close();
        closeAllDatabases();
    }
    // Once the exclusive opener has gone, the file opens again.
    ASSERT_TRUE(open(4));
    closeAllDatabases();
    RecordFile again;
    EXPECT_EQ(again.open(m_path, false, ShareMode::Exclusive, "pw"), 0);
    again.close();

    // An exclusive database takes no byte-range locks: its reads do not touch them.
    ASSERT_TRUE(open(4));
    ASSERT_TRUE(goToRecord(1));
    ASSERT_TRUE(writeField("memo", std::string("alone")));
    EXPECT_EQ(readText("memo"), "alone");
}

// A long memo is read in runs of blocks, each under one lock; the locks cover exactly
// the memo's own blocks, as one lock per block would.
TEST_F(Locking, RunLocksCoverExactlyTheChainsBlocks) {
    ASSERT_TRUE(open());
    const std::string longMemo(300 * 500, 'm');  // blocks 1..300 of the auxiliary file
    ASSERT_TRUE(goToRecord(1));
    ASSERT_TRUE(writeField("memo", longMemo));
    ASSERT_TRUE(goToRecord(2));
    ASSERT_TRUE(writeField("memo", std::string(600, 'n')));  // 301, 302
    const std::string aux = m_folder.file("shared.EDT");

    auto withBlockHeld = [&](int32_t block, const std::function<void()>& check) {
        Signal locked, done;
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RecordFile file;
            if (file.open(aux, false, ShareMode::ShareAll, "pw") != 0) _exit(2);
            if (file.lock(int64_t(block) * 512, 1) != 0) _exit(3);
            locked.send();
            done.wait();
            _exit(0);
        }
        ASSERT_TRUE(locked.wait());
        check();
        done.send();
        EXPECT_EQ(childExit(pid), 0);
    };

    // A block in the middle of record 1's chain: its read and its store fail at once.
    withBlockHeld(150, [&] {
        ASSERT_TRUE(goToRecord(1));
        EXPECT_EQ(readText("memo"), "");
        EXPECT_EQ(lastError(), err::kLockViolation);
        EXPECT_FALSE(writeField("memo", longMemo));
        EXPECT_EQ(lastError(), err::kLockViolation);
        ASSERT_TRUE(goToRecord(2));
        EXPECT_EQ(readText("memo"), std::string(600, 'n'));
    });
    // The block right after record 1's chain is record 2's: record 1 does not touch it.
    withBlockHeld(301, [&] {
        ASSERT_TRUE(goToRecord(1));
        EXPECT_EQ(readText("memo"), longMemo);
        EXPECT_EQ(lastError(), 0);
        EXPECT_TRUE(writeField("memo", longMemo));
        ASSERT_TRUE(goToRecord(2));
        EXPECT_EQ(readText("memo"), "");
        EXPECT_EQ(lastError(), err::kLockViolation);
    });
    ASSERT_TRUE(goToRecord(1));
    EXPECT_EQ(readText("memo"), longMemo);
}

}  // namespace
