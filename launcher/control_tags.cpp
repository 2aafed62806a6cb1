// The control tags: marker files by which the kernel asks to quit, to be
// restarted or to be updated when it exits.
#include <initializer_list>

#include "launcher/launcher.h"

namespace {

struct TagFile {
    const char* name;
    const char* removeFailedLine;
};

// Indexed by ControlTag.
constexpr TagFile TagFiles[] = {
    {"quit.do", "remove quit tag failed.\n"},
    {"restart.do", "remove restart tag failed.\n"},
    {"update.do", "remove update tag failed.\n"},
};

const TagFile& FileOf(ControlTag tag) {
    return TagFiles[static_cast<int>(tag)];
}

}  // namespace

TagStatus QueryTag(Platform& os, ControlTag tag) {
    // Any entry whose status can be read counts, a directory too; the
    // contents are never read.
    const FileStatus status = os.QueryFileStatus(FileOf(tag).name);
    return {status.found, status.modified};
}

bool IsStale(TagStatus status, Seconds now) {
    // The same as now - modified > SignalTimeout, written so that no file
    // time, however far off, can overflow. A tag from the future is never
    // stale.
    return status.present && status.modified < now - SignalTimeout;
}

bool RemoveTag(Platform& os, ControlTag tag) {
    if (os.RemoveFile(FileOf(tag).name)) return true;
    os.WriteLog(FileOf(tag).removeFailedLine);
    return false;
}

void ClearTagsAtStartup(Platform& os) {
    for (ControlTag tag : {ControlTag::Restart, ControlTag::Update, ControlTag::Quit}) {
        if (QueryTag(os, tag).present) RemoveTag(os, tag);
    }
}
