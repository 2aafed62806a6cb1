// A command interpreter for the end-to-end tests, named by COMSPEC: appends
// its own command line to "interpreter.log" in the working directory, then runs
// the system's cmd.exe with the same arguments and ends with its exit code.
// Where "interpreter-hangs" is in the working directory, it never returns.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    const char* line = GetCommandLineA();
    FILE* log = std::fopen("interpreter.log", "ab");
    if (log != nullptr) {
        std::fprintf(log, "%s\n", line);
        std::fclose(log);
    }
    if (GetFileAttributesA("interpreter-hangs") != INVALID_FILE_ATTRIBUTES) Sleep(INFINITE);
    // The arguments: what follows the program's own name, quoted or not.
    const char* rest = line;
    const char end = *rest == '"' ? '"' : ' ';
    if (*rest == '"') ++rest;
    while (*rest != '\0' && *rest != end) ++rest;
    if (*rest == '"') ++rest;

    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    const std::string interpreter = std::string(system) + "\\cmd.exe";
    std::string commandLine = "cmd.exe" + std::string(rest);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(interpreter.c_str(),
                        &commandLine[0],
                        nullptr,
                        nullptr,
                        FALSE,
                        CREATE_NO_WINDOW,
                        nullptr,
                        nullptr,
                        &startup,
                        &process)) {
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
