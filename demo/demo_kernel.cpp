// The demo kernel: a program of its own, not part of the launcher, that keeps
// the kernel's side of the launcher's contract and serves a main page whose
// buttons make it quit, restart or update itself through the control tags.
//
// It holds the name "KERNELBIN" while it runs, listens on 127.0.0.1:9080 only,
// and carries its version as the last line of its own file
// ("DEMO-VERSION:N"; none means 1). An update copies it, marked with the next
// version, to "update/_UPDATE.NEW"; the copy, once started in its place,
// removes the update tag.
//
// Only its own page can steer it: a request under any other host name (a
// page of another site rebound to 127.0.0.1) is refused, and a button is
// obeyed only with the random token of this run that the page carries, and
// only from the page's own origin.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>
#endif

#include <httplib.h>

#ifndef _WIN32
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr char Host[] = "127.0.0.1";
constexpr int Port = 9080;
constexpr char VersionKey[] = "DEMO-VERSION:";
constexpr char UpdateFile[] = "update/_UPDATE.NEW";
constexpr size_t TokenBytes = 16;  // 128 bits
#ifdef _WIN32
constexpr const char* BuiltFor = sizeof(void*) == 8 ? "Windows, 64-bit" : "Windows, 32-bit";
#else
constexpr char BuiltFor[] = "POSIX";
#endif

enum class Request { None, Quit, Restart, Update };

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

#ifdef _WIN32
long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

// The running program's file.
std::string OwnProgram() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? ReadAll(std::string(path, length)) : "";
}

bool RandomBytes(unsigned char* bytes, size_t count) {
    return RtlGenRandom(bytes, static_cast<ULONG>(count)) != FALSE;
}

bool MakeExecutable(const char*) {
    return true;
}

// Exclusive: a second kernel must find the port busy.
void SetSocketOptions(socket_t sock) {
    const BOOL yes = TRUE;
    setsockopt(
        sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}
#else
long ProcessId() {
    return static_cast<long>(getpid());
}

// The running program's file, read through the kernel's own link to it,
// which holds even when the file has been moved away by an update.
std::string OwnProgram() {
    return ReadAll("/proc/self/exe");
}

bool RandomBytes(unsigned char* bytes, size_t count) {
    return getrandom(bytes, count, 0) == static_cast<ssize_t>(count);
}

bool MakeExecutable(const char* path) {
    return chmod(path, 0755) == 0;
}

// Address reuse for a quick restart, but not the library's default port
// sharing: a second kernel must find the port busy.
void SetSocketOptions(socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}
#endif

// The token of this run, in hex; "" when the system gave no random bytes.
std::string NewToken() {
    unsigned char bytes[TokenBytes];
    if (!RandomBytes(bytes, sizeof bytes)) return "";
    std::string token;
    for (unsigned char byte : bytes) {
        token += "0123456789abcdef"[byte >> 4];
        token += "0123456789abcdef"[byte & 15];
    }
    return token;
}

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(const std::string& given, const std::string& secret) {
    if (given.size() != secret.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < secret.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    }
    return difference == 0;
}

// The names the page is served under; a browser that sends another one was
// sent here by some other site.
bool IsOwnHost(const std::string& host) {
    return host == "127.0.0.1:9080" || host == "localhost:9080";
}

// A button of the page itself: the token, and no sign of another origin.
bool FromOwnPage(const httplib::Request& req, const std::string& token) {
    const std::string origin = "http://" + req.get_header_value("Host");
    if (req.has_header("Origin") && req.get_header_value("Origin") != origin) return false;
    if (req.has_header("Sec-Fetch-Site") && req.get_header_value("Sec-Fetch-Site") != "same-origin")
        return false;
    return SameSecret(req.get_param_value("token"), token);
}

// This program's file without its version line, if it has one.
std::string Unmarked(const std::string& program) {
    if (program.empty() || program.back() != '\n') return program;
    const size_t lineStart = program.rfind('\n', program.size() - 2);
    const size_t start = lineStart == std::string::npos ? 0 : lineStart + 1;
    if (program.compare(start, sizeof VersionKey - 1, VersionKey) != 0) return program;
    return program.substr(0, start);
}

// The version marked on the last line of this program's file; 1 when none.
int VersionOf(const std::string& program) {
    const size_t unmarked = Unmarked(program).size();
    if (unmarked == program.size()) return 1;
    return std::atoi(program.c_str() + unmarked + sizeof VersionKey - 1);
}

std::string HtmlEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

struct Kernel {
    long pid;
    std::string started;
    int version;
    std::string argument;
    bool updated;  // started in place of an older version
};

std::string Button(const char* action,
                   const char* id,
                   const char* label,
                   const std::string& token) {
    return std::string("<form method=\"post\" action=\"/drav/") + action +
           "\" style=\"display:inline\"><input type=\"hidden\" name=\"token\" value=\"" + token +
           "\"><button id=\"" + id + "\">" + label + "</button></form>\n";
}

std::string MainPage(const Kernel& kernel, const std::string& token) {
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>NX8 kernel</title>"
         << "<style>body{font-family:sans-serif;margin:2em}td{padding:.2em 1em}"
         << "button{font-size:1.1em;margin-right:1em}</style></head><body>\n"
         << "<h1>NX8 kernel</h1>\n<table>\n"
         << "<tr><td>process id</td><td id=\"pid\">" << kernel.pid << "</td></tr>\n"
         << "<tr><td>started</td><td id=\"started\">" << kernel.started << "</td></tr>\n"
         << "<tr><td>version</td><td id=\"version\">" << kernel.version << "</td></tr>\n"
         << "<tr><td>argument</td><td id=\"argument\">" << HtmlEscaped(kernel.argument)
         << "</td></tr>\n"
         << "<tr><td>built for</td><td id=\"system\">" << BuiltFor << "</td></tr>\n</table>\n";
    if (kernel.updated) {
        page << "<p id=\"updated\">Updated from version " << kernel.version - 1 << ".</p>\n";
    }
    page << "<p>\n"
         << Button("quit", "quit", "Quit", token) << Button("restart", "restart", "Restart", token)
         << Button("update", "update", "Update", token) << "</p>\n</body></html>\n";
    return page.str();
}

std::string Now() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return text;
}

void CreateTag(const char* name) {
    std::ofstream tag(name);
}

// A copy of this program, marked with the next version, where the launcher
// looks for it.
bool PlaceUpdate(const std::string& program, int version) {
    std::string copy = Unmarked(program);
    if (copy.empty() || copy.back() != '\n') copy += '\n';
    copy += VersionKey + std::to_string(version + 1) + "\n";
    std::ofstream file(UpdateFile, std::ios::binary | std::ios::trunc);
    file.write(copy.data(), static_cast<std::streamsize>(copy.size()));
    file.close();
    return file.good() && MakeExecutable(UpdateFile);
}

std::string LeavingPage(const char* doing) {
    return std::string("<!DOCTYPE html><html><body><p id=\"leaving\">") + doing +
           "</p></body></html>";
}

}  // namespace

int main(int argc, char* argv[]) {
    Platform& os = SystemPlatform();
    os.CreateNamedMutex("KERNELBIN");  // held until the process ends

    const std::string token = NewToken();
    if (token.empty()) {
        std::fprintf(stderr, "demo kernel: no random source for the page's token\n");
        return 1;
    }
    const std::string program = OwnProgram();
    Kernel kernel = {ProcessId(), Now(), VersionOf(program), "", false};
    for (int i = 1; i < argc; ++i) kernel.argument += (i > 1 ? " " : "") + std::string(argv[i]);
    // A kernel started in place of an older one takes its update tag away.
    if (kernel.version > 1 && os.QueryFileStatus("update.do").found) {
        kernel.updated = os.RemoveFile("update.do");
    }

    httplib::Server server;
    server.set_socket_options(SetSocketOptions);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (IsOwnHost(req.get_header_value("Host")))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/drav", [&](const httplib::Request& req, httplib::Response& res) {
        if (req.get_param_value("t") != "main") {
            res.status = 404;
            return;
        }
        res.set_content(MainPage(kernel, token), "text/html; charset=utf-8");
    });

    // The first request to leave is the one obeyed; the server stops once
    // its answer is on the way.
    std::atomic<Request> request{Request::None};
    std::mutex stopping;
    std::thread stopper;
    auto asked = [&](Request what, const char* doing) {
        return [&, what, doing](const httplib::Request& req, httplib::Response& res) {
            if (!FromOwnPage(req, token)) {
                res.status = 403;
                return;
            }
            if (what == Request::Update && program.empty()) {
                res.status = 500;  // no copy to place: an empty file would be the next kernel
                return;
            }
            Request none = Request::None;
            if (!request.compare_exchange_strong(none, what)) {
                res.status = 503;
                res.set_content(LeavingPage("Leaving already."), "text/html; charset=utf-8");
                return;
            }
            res.set_content(LeavingPage(doing), "text/html; charset=utf-8");
            const std::lock_guard<std::mutex> lock(stopping);
            stopper = std::thread([&server] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                server.stop();
            });
        };
    };
    server.Post("/drav/quit", asked(Request::Quit, "Quitting."));
    server.Post("/drav/restart", asked(Request::Restart, "Restarting."));
    server.Post("/drav/update", asked(Request::Update, "Updating."));

    if (!server.bind_to_port(Host, Port)) {
        std::fprintf(
            stderr, "demo kernel: cannot listen on %s:%d (is the port in use?)\n", Host, Port);
        return 1;
    }
    std::printf("demo kernel %d (pid %ld): main page at http://%s:%d/drav?t=main\n",
                kernel.version,
                kernel.pid,
                Host,
                Port);
    std::fflush(stdout);
    server.listen_after_bind();
    {
        const std::lock_guard<std::mutex> lock(stopping);
        if (stopper.joinable()) stopper.join();
    }

    // The tag is in place before the kernel exits.
    switch (request.load()) {
        case Request::Quit: CreateTag("quit.do"); break;
        case Request::Restart: CreateTag("restart.do"); break;
        case Request::Update:
            if (!PlaceUpdate(program, kernel.version)) {
                std::fprintf(stderr, "demo kernel: cannot write %s\n", UpdateFile);
                return 1;
            }
            CreateTag("update.do");
            break;
        case Request::None: break;
    }
    return 0;
}
