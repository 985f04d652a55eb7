// Files of the mailbox sessions beside the record database: the profiles/ folder with
// one sub-folder per page, the lock that keeps a second running copy out of them, and
// the remembered answers to a page's permission questions. No widgets.
#pragma once

#include <QString>

namespace login {

// Creates folder (and missing parents) readable by the owner only; an existing folder
// is narrowed to the owner as well. False when it cannot be made.
bool makeOwnerOnlyFolder(const QString& folder);

// An open-file-description lock on profiles/.lock: held for the object's lifetime, so
// only one running copy ever writes into the profile folders. The lock belongs to the
// open file, not the process, so even two holders inside one process exclude each other.
class ProfileLock {
public:
    explicit ProfileLock(const QString& profilesFolder);
    ~ProfileLock();
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    bool held() const { return m_fd >= 0; }
    // Why the lock is not held: another copy holds it (busy) or the folder is unusable.
    bool heldElsewhere() const { return m_busy; }

private:
    int m_fd = -1;
    bool m_busy = false;
};

// The answer the user gave to a page's notification question, kept in the profile
// folder of that page.
enum class PermissionAnswer { Unasked, Allowed, Refused };

PermissionAnswer readNotificationAnswer(const QString& profileFolder);
bool writeNotificationAnswer(const QString& profileFolder, PermissionAnswer answer);

}  // namespace login
