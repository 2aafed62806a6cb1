// Holds a file as a virus scanner holds one it scans: open and shared with
// nobody, so that it can be neither moved, deleted nor started until this
// program ends. With "viewer", as a log viewer holds the log it follows:
// shared for reading and writing, not for deleting, so that it can be
// written and cut but not moved. Creates SIGNAL once it holds FILE.
//
//   file_holder FILE SIGNAL [viewer]
#include <windows.h>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const DWORD share = argc > 3 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    const HANDLE file = CreateFileA(
        argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const HANDLE signal = CreateFileA(
        argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (signal == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(signal);
    Sleep(INFINITE);
}
