#include "login/session_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <cerrno>

namespace login {
namespace {

const QString kLockFile = QStringLiteral(".lock");
const QString kPermissionFile = QStringLiteral("permissions");
const QByteArray kAllowed = "notifications=allowed\n";
const QByteArray kRefused = "notifications=refused\n";

}  // namespace

bool makeOwnerOnlyFolder(const QString& folder) {
    if (folder.isEmpty()) return false;
    QDir dir(folder);
    if (!dir.exists() && !QDir().mkpath(folder)) return false;
    return ::chmod(QFile::encodeName(folder).constData(), S_IRWXU) == 0;
}

ProfileLock::ProfileLock(const QString& profilesFolder) {
    if (!makeOwnerOnlyFolder(profilesFolder)) return;
    const QByteArray path = QFile::encodeName(QDir(profilesFolder).filePath(kLockFile));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        m_busy = errno == EAGAIN || errno == EACCES;
        ::close(fd);
        return;
    }
    m_fd = fd;
}

ProfileLock::~ProfileLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing the description releases the lock
}

PermissionAnswer readNotificationAnswer(const QString& profileFolder) {
    QFile file(QDir(profileFolder).filePath(kPermissionFile));
    if (!file.open(QIODevice::ReadOnly)) return PermissionAnswer::Unasked;
    const QByteArray content = file.read(256);
    if (content == kAllowed) return PermissionAnswer::Allowed;
    if (content == kRefused) return PermissionAnswer::Refused;
    return PermissionAnswer::Unasked;  // anything else was not written by us
}

bool writeNotificationAnswer(const QString& profileFolder, PermissionAnswer answer) {
    if (answer == PermissionAnswer::Unasked) return QFile::remove(QDir(profileFolder).filePath(kPermissionFile));
    if (!makeOwnerOnlyFolder(profileFolder)) return false;
    QSaveFile file(QDir(profileFolder).filePath(kPermissionFile));
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(answer == PermissionAnswer::Allowed ? kAllowed : kRefused);
    return file.commit();
}

}  // namespace login
