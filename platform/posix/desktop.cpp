// This file implements the user's side of the POSIX platform layer: notices
// and the web browser. It must contain only what reaches the person at the
// desktop or terminal.
//
// Notices go to zenity on a desktop, else to the terminal, else to standard
// error; web addresses go to xdg-open.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/gbk.h"
#include "platform/posix/posix_layer.h"

namespace posix_layer {

namespace {

// The user's terminal, kept open once the launcher has left it; -1 before.
int keptTerminal = -1;

// Shown as it stands when it cannot be converted.
std::string FromGbk(const char* text) {
    std::string utf8;
    return GbkToUtf8(text, &utf8) ? utf8 : text;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

bool OnDesktop() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

void KeepTerminalForNotices() {
    if (keptTerminal < 0) {
        keptTerminal = AboveStandardStreams(open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC));
    }
}

void ShowNotice(const char* text, const char* caption) {
    const std::string title = FromGbk(caption);
    const std::string message = FromGbk(text);
    const std::string zenity = OnDesktop() ? FindOnPath("zenity") : "";
    if (!zenity.empty()) {
        RunAndWait(zenity,
                   {"zenity",
                    "--info",
                    "--no-markup",
                    "--no-wrap",
                    "--title=" + title,
                    "--text=" + message});
        return;
    }
    // The released console no longer reaches the user's terminal, but the
    // terminal itself may still be there.
    const int tty =
        keptTerminal >= 0 ? keptTerminal : open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    WriteAll(tty >= 0 ? tty : STDERR_FILENO, title + ": " + message + "\n");
    if (tty >= 0 && tty != keptTerminal) close(tty);
}

void OpenWebAddress(const char* address) {
    const std::string xdgOpen = FindOnPath("xdg-open");
    if (!xdgOpen.empty()) StartDetached(xdgOpen, {"xdg-open", address});
}

}  // namespace posix_layer
