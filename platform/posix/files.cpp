// This file implements file status, creation and removal for the POSIX
// platform layer, and the working directory.
// It must contain only POSIX file calls on names relative to the working
// directory, and the calls that tell the executable's directory and enter it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/posix/posix_layer.h"

namespace posix_layer {

std::string PosixPath(const char* name) {
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// A file is read-only, as Windows has it, without its owner's write
// permission.
bool ReadOnly(const struct stat& status) {
    return (status.st_mode & S_IWUSR) == 0;
}

FileStatus QueryFileStatus(const char* name) {
    // A link itself, as Windows' file attributes describe it: present
    // whatever it points to, and moved or removed as the link it is.
    struct stat status;
    if (lstat(PosixPath(name).c_str(), &status) != 0) return {false, 0, false, false, 0};
    return {true,
            static_cast<Seconds>(status.st_mtim.tv_sec),
            S_ISDIR(status.st_mode),
            !S_ISDIR(status.st_mode) && ReadOnly(status),
            static_cast<std::int64_t>(status.st_size)};
}

bool RemoveFile(const char* name) {
    // As the Windows runtime's remove: files only, never a directory, and
    // not a read-only file.
    const std::string path = PosixPath(name);
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return false;
    if (S_ISDIR(status.st_mode) || ReadOnly(status)) return false;
    return unlink(path.c_str()) == 0;
}

void ClearReadOnly(const char* name) {
    // A link is left alone: what it points to may lie outside the
    // installation.
    const std::string path = PosixPath(name);
    struct stat status;
    if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    (void)chmod(path.c_str(), (status.st_mode & 07777) | S_IWUSR);
}

bool CreateEmptyFile(const char* name) {
    // Never through a link, which may point outside the installation; a
    // FIFO is not waited on.
    const int fd = open(
        PosixPath(name).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool AppendToFile(const char* name, const char* text) {
    // O_APPEND: every write lands at the end, whoever else appends. O_DSYNC:
    // the line, and the size that makes it readable, are on the disk when
    // the write returns. Only to a plain file the owner may write, as on
    // Windows, whoever the launcher runs as.
    const int fd =
        open(PosixPath(name).c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_DSYNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
             0666);
    if (fd < 0) return false;
    struct stat status;
    const size_t length = std::strlen(text);
    bool written = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && !ReadOnly(status);
    if (written) {
        ssize_t result;
        while ((result = write(fd, text, length)) < 0 && errno == EINTR) {
        }
        written = result == static_cast<ssize_t>(length);
        // A write that came up short (a full disk, a file size limit) is
        // undone: the offset is where it ended, at the end of the file.
        if (!written && result > 0) {
            const off_t end = lseek(fd, 0, SEEK_CUR);
            if (end >= result) (void)ftruncate(fd, end - result);
        }
    }
    close(fd);
    return written;
}

bool EmptyFile(const char* name) {
    // Opened without O_TRUNC, so that only a plain file the owner may write
    // is cut, as on Windows, whoever the launcher runs as.
    const int fd = open(PosixPath(name).c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status;
    const bool emptied = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && !ReadOnly(status) &&
                         ftruncate(fd, 0) == 0;
    close(fd);
    return emptied;
}

bool RenameFile(const char* from, const char* to) {
    return rename(PosixPath(from).c_str(), PosixPath(to).c_str()) == 0;
}

bool EnterProgramDirectory() {
    // The executable as the system started it, links resolved; its name is
    // bytes, taken as they are. A directory deleted since reads
    // "... (deleted)", which cannot be entered.
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return false;
    ssize_t end = length;
    while (end > 0 && path[end - 1] != '/') --end;
    if (end == 0) return false;
    path[end] = '\0';
    return chdir(path) == 0;
}

}  // namespace posix_layer
