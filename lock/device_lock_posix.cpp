#include "lock/device_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "lock/lock_file.h"
#include "transport/logging.h"

namespace tolvane {
namespace {

// Where programs that keep to the UUCP convention put their lock files (Debian: /var/lock,
// a link to /run/lock), then the other places QSerialPort also looks.
constexpr std::array<const char*, 5> kLockDirectories{"/var/lock", "/run/lock", "/var/spool/locks",
                                                      "/var/spool/uucp", "/etc/locks"};
// Lock files are a line or three; a larger one is not read further (the PID comes first).
constexpr std::size_t kLockFileReadLimit = 4096;

[[noreturn]] void refuse(const std::string& reason, int error = 0) {
    throw Transport::Failure(reason, error);
}

std::string systemReason(int error) {
    std::string reason = std::strerror(error);
    // A denied open gets its question or its fix from the open-failure hints.
    if (error == EBUSY) reason += " (is another program using the port?)";
    return reason;
}

[[noreturn]] void refuseSystem(int error) {
    refuse(systemReason(error), error);
}

struct LockFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::uint8_t> content;
};

// The lock file at path; nullopt when there is none. Throws when one is there but cannot be
// read: then nobody can tell whether its program still runs.
std::optional<LockFile> readLockFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        refuse("cannot read the lock file " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    LockFile lock{path, st.st_dev, st.st_ino, {}};
    while (regular && lock.content.size() <= kLockFileReadLimit) {
        std::uint8_t buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) regular = false;
        if (n <= 0) break;
        lock.content.insert(lock.content.end(), buffer, buffer + n);
    }
    ::close(fd);
    if (!regular) refuse("cannot read the lock file " + path);
    return lock;
}

// The devices this process holds, by number.
std::vector<dev_t>& heldHere() {
    static std::vector<dev_t> held;
    return held;
}

// Whether the lock's process runs and may hold it: a lock naming this process is stale unless
// this process holds the device (its PID was another's before a restart).
bool holderRuns(std::int64_t pid, dev_t rdev) {
    if (pid == ::getpid())
        return std::find(heldHere().begin(), heldHere().end(), rdev) != heldHere().end();
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Refuses when a program that still runs holds a lock file for the device; returns the lock
// files of programs that are gone.
std::vector<LockFile> staleLockFiles(const std::string& path, const std::string& device,
                                     dev_t rdev) {
    std::vector<LockFile> stale;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const char* directory : kLockDirectories) {
        struct stat st {};
        if (::stat(directory, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
        seen.push_back(id);
        for (const std::string& name : lockFileNames(path, device, major(rdev), minor(rdev))) {
            std::optional<LockFile> lock = readLockFile(std::string(directory) + "/" + name);
            if (!lock) continue;
            const std::optional<std::int64_t> pid = lockFilePid(lock->content);
            if (!pid)
                refuse("the lock file " + lock->path +
                       " names no process (remove it if no program uses the port)");
            if (holderRuns(*pid, rdev))
                refuse("in use by PID " + std::to_string(*pid) + " (lock file " + lock->path + ")",
                       EBUSY);
            stale.push_back(std::move(*lock));
        }
    }
    return stale;
}

// Removes a lock file found stale, unless another program has put its own there since.
void removeStale(const LockFile& stale) {
    const std::optional<LockFile> now = readLockFile(stale.path);
    if (!now || now->device != stale.device || now->inode != stale.inode ||
        now->content != stale.content)
        return;
    const QString path = QFile::decodeName(stale.path.c_str());
    if (::unlink(stale.path.c_str()) == 0)
        qCInfo(lcSerial).noquote()
            << "removed the stale lock file" << path << "of PID" << *lockFilePid(stale.content);
    else
        qCWarning(lcSerial).noquote() << "cannot remove the stale lock file" << path << "of PID"
                                      << *lockFilePid(stale.content) << ":" << std::strerror(errno);
}

// The PID of the process holding a flock() on the file, from /proc/locks; nullopt where that
// is not known.
std::optional<long> flockHolder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 9163 00:19:4 0 EOF"; waiters have "->" after the number.
        char type[8] = {};
        long pid = 0;
        unsigned major_ = 0, minor_ = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), "%*s %7s %*s %*s %ld %x:%x:%lu", type, &pid, &major_, &minor_,
                        &inode) == 5 &&
            std::strcmp(type, "FLOCK") == 0 && major_ == major(st.st_dev) &&
            minor_ == minor(st.st_dev) && inode == st.st_ino)
            return pid;
    }
    return std::nullopt;
}

}  // namespace

void DeviceLock::acquire(const QByteArray& name) {
    release();
    const std::string path = devicePathForName(name.toStdString());
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) refuseSystem(errno);
    const std::string device = real;
    struct stat st {};
    if (::stat(real, &st) != 0) refuseSystem(errno);
    if (!S_ISCHR(st.st_mode)) refuse("not a terminal device");

    const std::vector<LockFile> stale = staleLockFiles(path, device, st.st_rdev);

    const int fd = ::open(real, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) refuseSystem(errno);
    if (!::isatty(fd)) {
        ::close(fd);
        refuse("not a terminal device");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const std::optional<long> holder = error == EWOULDBLOCK ? flockHolder(fd) : std::nullopt;
        ::close(fd);
        if (holder) refuse("in use by PID " + std::to_string(*holder), EBUSY);
        if (error == EWOULDBLOCK)
            refuse("in use by another program (it holds a lock on the device)", EBUSY);
        refuse("cannot lock the device: " + systemReason(error), error);
    }
    // Ours now: lock files left by programs that are gone can go.
    for (const LockFile& lock : stale) removeStale(lock);
    fd_ = fd;
    rdev_ = st.st_rdev;
    heldHere().push_back(rdev_);
    path_ = QFile::decodeName(real);
    // A device path that is not text in the local encoding would not survive QSerialPort's
    // round trip through QString: hand it the descriptor's own path to the same device instead.
    if (QFile::encodeName(path_) != QByteArray(real))
        path_ = QStringLiteral("/proc/self/fd/%1").arg(fd_);
}

void DeviceLock::makeExclusive() {
    if (fd_ >= 0 && ::ioctl(fd_, TIOCEXCL) != 0)
        qCWarning(lcSerial).noquote()
            << "cannot make" << path_ << "exclusive:" << std::strerror(errno);
}

void DeviceLock::release() {
    if (fd_ < 0) return;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    const auto held = std::find(heldHere().begin(), heldHere().end(), rdev_);
    if (held != heldHere().end()) heldHere().erase(held);
    path_.clear();
}

}  // namespace tolvane
