// This file implements file status and removal for the POSIX platform layer.
// It must contain only POSIX file calls on names relative to the working
// directory.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

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
    return std::remove(PosixPath(name).c_str()) == 0;
}

}  // namespace posix_layer
