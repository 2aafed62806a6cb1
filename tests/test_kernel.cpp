// A kernel for the end-to-end tests, built for both targets.
//
// At every start it appends one JSON line to "kernel.log" in the working
// directory (its start number, process id, marker, command line, arguments
// and, on POSIX, the monotonic time it began at), then carries out line N of
// "kernel-scenario.txt", N being its start number counted from 0. A line is a
// list of steps separated by ';':
//
//   sleep MS          pause
//   create NAME       create the file NAME (empty), or renew its time
//   delete NAME       remove the file NAME
//   place-update M    copy this program to "update/_UPDATE.NEW", marked M
//   place-text [read-only]
//                     write a text file, no program, as "update/_UPDATE.NEW"
//   hold-mutex        hold the name "KERNELBIN" for as long as it runs
//   wait-for NAME     wait, up to a minute, until the file NAME exists
//   exit CODE         end with this exit code
//   crash             end by a memory access fault
//   run               keep running until killed (also the default)
//
// A copy made by place-update carries its marker as the last line of the
// file ("KERNEL-MARKER:M"), so the tests can tell the kernels apart.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

constexpr char LogFile[] = "kernel.log";
constexpr char ScenarioFile[] = "kernel-scenario.txt";
constexpr char UpdateFile[] = "update/_UPDATE.NEW";
constexpr char MarkerKey[] = "KERNEL-MARKER:";

std::string ReadAll(FILE* file) {
    std::string content;
    if (file == nullptr) return content;
    char buffer[65536];
    size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, length);
    std::fclose(file);
    return content;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Json(const std::string& text) {
    std::string json = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += static_cast<char>(c);
        }
    }
    return json + "\"";
}

std::string ReadFile(const std::string& path) {
    return ReadAll(std::fopen(path.c_str(), "rb"));
}

#ifdef _WIN32
// By its UTF-16 name: an ANSI one has '?' for characters outside the code page.
std::string ReadSelf() {
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    return length > 0 && length < 32768 ? ReadAll(_wfopen(path, L"rb")) : "";
}
long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}
std::string RawCommandLine(int, char**) {
    return GetCommandLineA();
}
long long MonotonicNs() {
    return 0;  // not measured on Windows
}
#else
std::string ReadSelf() {
    return ReadFile("/proc/self/exe");
}
long ProcessId() {
    return static_cast<long>(getpid());
}
long long MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}
std::string RawCommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + std::string(argv[i]);
    return line;
}
#endif

// The marker a copy carries as its last line, or "".
std::string OwnMarker() {
    const std::string self = ReadSelf();
    if (self.empty() || self.back() != '\n') return "";
    const size_t lineStart = self.rfind('\n', self.size() - 2);
    const std::string last = self.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
    if (last.compare(0, std::strlen(MarkerKey), MarkerKey) != 0) return "";
    return Trim(last.substr(std::strlen(MarkerKey)));
}

int StartsSoFar() {
    int lines = 0;
    for (char c : ReadFile(LogFile)) lines += c == '\n';
    return lines;
}

void RecordStart(long long began, int number, int argc, char** argv) {
    std::string line =
        "{\"n\": " + std::to_string(number) + ", \"mono_ns\": " + std::to_string(began) +
        ", \"pid\": " + std::to_string(ProcessId()) + ", \"marker\": " + Json(OwnMarker()) +
        ", \"cmdline\": " + Json(RawCommandLine(argc, argv)) + ", \"argv\": [";
    for (int i = 0; i < argc; ++i) line += (i > 0 ? ", " : "") + Json(argv[i]);
    line += "]}\n";
    FILE* log = std::fopen(LogFile, "ab");
    if (log == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), log);
    std::fclose(log);
}

void TouchFile(const std::string& name) {
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file != nullptr) std::fclose(file);
}

void PlaceUpdate(const std::string& marker) {
    std::string copy = ReadSelf();
    // A marked copy of a marked copy keeps only the new marker.
    if (!OwnMarker().empty()) copy.erase(copy.rfind(MarkerKey));
    if (copy.empty() || copy.back() != '\n') copy += '\n';
    copy += MarkerKey + marker + "\n";
    FILE* file = std::fopen(UpdateFile, "wb");
    if (file == nullptr) return;
    std::fwrite(copy.data(), 1, copy.size(), file);
    std::fclose(file);
    chmod(UpdateFile, 0755);  // Windows keeps only the write bit
}

void PlaceText() {
    FILE* file = std::fopen(UpdateFile, "wb");
    if (file == nullptr) return;
    std::fputs("not a program\n", file);
    std::fclose(file);
}

// A memory access fault, ended by the system as any crash is, whatever a
// sanitizer would make of it.
#ifdef _WIN32
void Crash() {
#else
__attribute__((no_sanitize("undefined"))) void Crash() {
    std::signal(SIGSEGV, SIG_DFL);
#endif
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

}  // namespace

int main(int argc, char** argv) {
    const long long began = MonotonicNs();
    const int number = StartsSoFar();
    RecordStart(began, number, argc, argv);

    const std::vector<std::string> scenario = Split(ReadFile(ScenarioFile), '\n');
    const std::string steps =
        static_cast<size_t>(number) < scenario.size() ? scenario[number] : std::string("run");
    Platform& os = SystemPlatform();
    for (const std::string& rawStep : Split(steps, ';')) {
        const std::string step = Trim(rawStep);
        const size_t space = step.find(' ');
        const std::string verb = step.substr(0, space);
        const std::string operand = space == std::string::npos ? "" : Trim(step.substr(space + 1));
        if (verb == "sleep") {
            os.Sleep(static_cast<unsigned>(std::atoi(operand.c_str())));
        } else if (verb == "create") {
            TouchFile(operand);
        } else if (verb == "delete") {
            std::remove(operand.c_str());
        } else if (verb == "place-update") {
            PlaceUpdate(operand);
        } else if (verb == "place-text") {
            PlaceText();
            if (operand == "read-only") chmod(UpdateFile, 0444);
        } else if (verb == "wait-for") {
            for (int i = 0; i < 1200 && !os.QueryFileStatus(operand.c_str()).found; ++i) {
                os.Sleep(50);
            }
        } else if (verb == "hold-mutex") {
            os.CreateNamedMutex("KERNELBIN");  // held until the process ends
        } else if (verb == "exit") {
            return std::atoi(operand.c_str());
        } else if (verb == "crash") {
            Crash();
        }
    }
    for (;;) os.Sleep(60000);
}
