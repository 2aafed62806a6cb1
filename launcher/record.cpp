// The launcher's record, kept in the installation for whoever supports it:
// every line the launcher writes and every notice it shows, and each kernel
// it starts and how that ended, a line each, with the local time and the
// launcher's process id, in UTF-8. Bounded: a record that has reached its
// size becomes the earlier record, replacing an older one, or, where it
// cannot, starts over. Never in the way: a line that cannot be written is
// lost, and nothing else happens.
#include <cstdio>

#include "launcher/launcher.h"
#include "launcher/notices.h"

namespace {

constexpr char RecordFile[] = "launcher.log";
constexpr char EarlierRecordFile[] = "launcher.log.1";
constexpr std::int64_t RecordSize = std::int64_t{256} * 1024;  // bytes a file at the most
// The time, the process id and the longest text, a notice's or a log line's.
constexpr int LongestLine = 320;

// Appends the text, a line, to the record, its time and process id before
// it. A record the line would take past its size becomes the earlier one
// first. Where it cannot (a viewer holds it, or the earlier record is held
// or a directory), it starts over: the newest lines are the ones kept, and
// the two files stay bounded. A directory of that name is no record: it
// stays.
void Record(Platform& os, const char* text) {
    const LocalTime now = os.CurrentLocalTime();
    char line[LongestLine];
    int length = std::snprintf(line,
                               sizeof line,
                               "%04d-%02d-%02d %02d:%02d:%02d [%lu] %s",
                               now.year,
                               now.month,
                               now.day,
                               now.hour,
                               now.minute,
                               now.second,
                               static_cast<unsigned long>(os.ProcessId()),
                               text);
    if (length < 0) return;
    if (length >= LongestLine) {  // cut short, still a line
        length = LongestLine - 1;
        line[length - 1] = '\n';
    }
    const FileStatus record = os.QueryFileStatus(RecordFile);
    if (record.found && !record.directory && record.size + length > RecordSize &&
        !os.RenameFile(RecordFile, EarlierRecordFile) && !os.EmptyFile(RecordFile)) {
        return;
    }
    (void)os.AppendToFile(RecordFile, line);
}

}  // namespace

void Log(Platform& os, const char* line) {
    os.WriteOutput(line);
    Record(os, line);
}

void Notify(Platform& os, const char* notice) {
    // Recorded as it is shown, a notice may wait long for its OK; in UTF-8,
    // as the rest of the record, whatever the system's code page.
    char text[LongestLine - sizeof "notice: \n" + 1];
    os.NoticeToUtf8(notice, text, sizeof text);
    char line[LongestLine];
    (void)std::snprintf(line, sizeof line, "notice: %s\n", text);
    Record(os, line);
    os.ShowNotice(notice, NoticeCaption);
}

void RecordKernelStart(Platform& os, std::uint32_t kernelId) {
    char line[48];
    (void)std::snprintf(
        line, sizeof line, "kernel %lu started\n", static_cast<unsigned long>(kernelId));
    Record(os, line);
}

void RecordKernelEnd(Platform& os, Handle kernel, std::uint32_t kernelId, bool forceQuit) {
    char exit[128];
    os.DescribeExit(kernel, exit, sizeof exit);
    char line[LongestLine];
    (void)std::snprintf(line,
                        sizeof line,
                        "kernel %lu ended: %s%s\n",
                        static_cast<unsigned long>(kernelId),
                        exit,
                        forceQuit ? ", force quit by the launcher" : "");
    Record(os, line);
}
