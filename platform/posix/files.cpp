// This file implements file status and removal for the POSIX platform layer.
// It must contain only POSIX file calls on names relative to the working
// directory.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/posix_layer.h"

namespace posix_layer {

std::string PosixPath(const char* name) {
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

FileStatus QueryFileStatus(const char* name) {
    struct stat status;
    if (stat(PosixPath(name).c_str(), &status) != 0) return {false, 0};
    return {true, static_cast<Seconds>(status.st_mtim.tv_sec)};
}

bool RemoveFile(const char* name) {
    // As the Windows runtime's remove: files only, never a directory, and
    // not a read-only file (here: one without its owner's write permission).
    const std::string path = PosixPath(name);
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return false;
    if ((status.st_mode & S_IWUSR) == 0) return false;
    return unlink(path.c_str()) == 0;
}

}  // namespace posix_layer
