// The update swap: the new kernel file the kernel left in the update
// directory takes the place of "kernel.bin", which is kept for a rollback.
#include "launcher/launcher.h"

namespace {

constexpr char NewKernelFile[] = "update\\_UPDATE.NEW";

}  // namespace

void RunUpdateSwap(Platform& os) {
    // Without a new file, moving the kernel aside would leave the
    // installation with nothing to start.
    if (!os.QueryFileStatus(NewKernelFile).found) {
        os.WriteLog("update file not found, update skipped.\n");
        return;
    }
    os.RunCommand("move kernel.bin update\\ROLLBACK.BIN");
    os.RunCommand("move update\\_UPDATE.NEW kernel.bin");
}
