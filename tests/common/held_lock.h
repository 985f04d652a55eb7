// A lock of a record database file held from a second process, as another running copy
// of the program would hold it, until the test lets go (or 20 seconds at most). The
// child does nothing but open, lock and wait, so forking a threaded test is safe.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "records/mailbox_store.h"
#include "records/record_file.h"

namespace test_common {

class HeldLock {
public:
    HeldLock(const std::string& path, int64_t offset) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(m_release), 0);
        m_pid = fork();
        if (m_pid == 0) {
            ::close(m_release[1]);
            records::RecordFile file;
            if (file.open(path, false, records::ShareMode::ShareAll, records::kMailboxDatabasePassword) != 0) _exit(2);
            if (file.lock(offset, 1) != 0) _exit(3);
            if (::write(ready[1], "x", 1) != 1) _exit(4);
            pollfd wait{m_release[0], POLLIN, 0};
            poll(&wait, 1, 20000);
            _exit(0);  // the lock goes with the process
        }
        ::close(m_release[0]);
        char c = 0;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~HeldLock() {
        ::close(m_release[1]);
        int status = 0;
        waitpid(m_pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    pid_t m_pid = -1;
    int m_release[2] = {-1, -1};
};

}  // namespace test_common
