// This file implements named mutexes for the POSIX platform layer as lock
// files. It must contain only POSIX and Linux file and lock calls.
//
// Every holder of a name keeps a read lock on the name's file for as long as
// its handle is open; "already exists" means another holder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_layer.h"

namespace posix_layer {

namespace {

// A directory of this user's own that nobody else can write into, made if
// it is missing; "" when it cannot be had.
std::string PrivateDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        (void)std::fprintf(
            stderr, "named mutexes: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return "";
    }
    // lstat: a link planted in its place is not followed.
    struct stat status;
    if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != getuid() || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        (void)std::fprintf(stderr,
                           "named mutexes: %s is not a directory of this user's own, closed to "
                           "others; named mutexes are not available\n",
                           path.c_str());
        return "";
    }
    return path;
}

// Where this user's lock files live: the session's runtime directory, else
// a private directory in /tmp (in /tmp itself, any user could plant a lock
// file of the same name first).
std::string LockDirectory(const std::string& uid) {
    // A relative runtime directory is not valid, and would change with the
    // working directory.
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') return runtimeDir;
    return PrivateDirectory("/tmp/launcher-" + uid);
}

// The name's lock file: <dir>/<NAME>-<uid>.lock, private to this user.
int OpenLockFile(const char* name) {
    const std::string uid = std::to_string(static_cast<unsigned long>(getuid()));
    const std::string dir = LockDirectory(uid);
    if (dir.empty()) return -1;
    const std::string path = dir + "/" + name + "-" + uid + ".lock";
    // No link is followed, and a file someone else planted is not used.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != getuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

MutexResult CreateNamedMutex(const char* name) {
    const int fd = AboveStandardStreams(OpenLockFile(name));
    if (fd < 0) return {NoHandle, false};
    struct flock lock = {};
    lock.l_whence = SEEK_SET;  // the whole file, as l_start and l_len are 0
    // A write lock, taken without waiting, is granted only where nobody else
    // holds the name. Turning it into a read lock is atomic, so no one can
    // slip in between the test and the hold.
    lock.l_type = F_WRLCK;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        lock.l_type = F_RDLCK;
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return {fd, false};
    } else if (errno == EAGAIN || errno == EACCES) {
        // Held already; a write lock seen here is only another creator's
        // test, which turns into a read lock at once.
        lock.l_type = F_RDLCK;
        int result;
        while ((result = fcntl(fd, F_OFD_SETLKW, &lock)) < 0 && errno == EINTR) {
        }
        if (result == 0) return {fd, true};
    }
    close(fd);
    return {NoHandle, false};
}

}  // namespace posix_layer
