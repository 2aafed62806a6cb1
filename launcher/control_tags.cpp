// The control tags: marker files by which the kernel asks to quit, to be
// restarted or to be updated when it exits.
#include <cstdint>
#include <initializer_list>

#include "launcher/launcher.h"

namespace {

// A tag older than this, left by a kernel that still runs, is stale.
constexpr Seconds SignalTimeout = 30;

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

TagsAtStart QueryTagsAtStart(Platform& os) {
    TagsAtStart tags = {};
    for (ControlTag tag : {ControlTag::Quit, ControlTag::Restart, ControlTag::Update}) {
        tags.status[static_cast<int>(tag)] = QueryTag(os, tag);
    }
    return tags;
}

bool IsStale(TagStatus status, Seconds now) {
    // A tag from the future, or from this very second, is never stale. The
    // age is taken in unsigned arithmetic, which holds the difference of any
    // two times without overflow, however far off a file's time is.
    if (!status.present || status.modified >= now) return false;
    const std::uint64_t age =
        static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(status.modified);
    return age > static_cast<std::uint64_t>(SignalTimeout);
}

bool ForceQuitDue(TagStatus status, TagStatus atStart, Seconds now) {
    // Told by what was there before the start, not by the tag's time: FAT
    // keeps times to 2 s, and a share's clock may differ from this one's, so
    // a tag written just after the start may read older than the start.
    const bool leftBefore = atStart.present && status.modified == atStart.modified;
    return !leftBefore && IsStale(status, now);
}

bool RemoveTag(Platform& os, ControlTag tag) {
    if (RemoveEvenReadOnly(os, FileOf(tag).name)) return true;
    Log(os, FileOf(tag).removeFailedLine);
    return false;
}

void ClearTagsAtStartup(Platform& os) {
    for (ControlTag tag : {ControlTag::Restart, ControlTag::Update, ControlTag::Quit}) {
        if (QueryTag(os, tag).present) RemoveTag(os, tag);
    }
}

KernelLeft ReadTagLeft(Platform& os) {
    // The first present decides, whatever the tags' age.
    if (QueryTag(os, ControlTag::Quit).present) return KernelLeft::QuitTag;
    if (QueryTag(os, ControlTag::Restart).present) return KernelLeft::RestartTag;
    if (!QueryTag(os, ControlTag::Update).present) return KernelLeft::NoTag;
    return NewKernelWaiting(os) ? KernelLeft::UpdateTag : KernelLeft::UpdateTagAlone;
}
