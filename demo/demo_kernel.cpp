// The demo kernel: a program of its own, not part of the launcher, that keeps
// the kernel's side of the launcher's contract and serves a main page whose
// buttons make it quit, restart or update itself through the control tags.
//
// It holds the name "KERNELBIN" while it runs, listens on 127.0.0.1:9080 only,
// and carries its version as the last line of its own file
// ("DEMO-VERSION:N"; none means 1). An update copies it, marked with the next
// version, to "update/_UPDATE.NEW"; the copy, once started in its place,
// removes the update tag.
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr char Host[] = "127.0.0.1";
constexpr int Port = 9080;
constexpr char VersionKey[] = "DEMO-VERSION:";
constexpr char UpdateFile[] = "update/_UPDATE.NEW";

enum class Request { None, Quit, Restart, Update };

std::string OwnPath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
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

std::string MainPage(const Kernel& kernel) {
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>NX8 kernel</title>"
         << "<style>body{font-family:sans-serif;margin:2em}td{padding:.2em 1em}"
         << "button{font-size:1.1em;margin-right:1em}</style></head><body>\n"
         << "<h1>NX8 kernel</h1>\n<table>\n"
         << "<tr><td>process id</td><td id=\"pid\">" << kernel.pid << "</td></tr>\n"
         << "<tr><td>started</td><td id=\"started\">" << kernel.started << "</td></tr>\n"
         << "<tr><td>version</td><td id=\"version\">" << kernel.version << "</td></tr>\n"
         << "<tr><td>argument</td><td id=\"argument\">" << HtmlEscaped(kernel.argument)
         << "</td></tr>\n</table>\n";
    if (kernel.updated) {
        page << "<p id=\"updated\">Updated from version " << kernel.version - 1 << ".</p>\n";
    }
    page << "<p>\n"
         << "<form method=\"post\" action=\"/drav/quit\" style=\"display:inline\">"
         << "<button id=\"quit\">Quit</button></form>\n"
         << "<form method=\"post\" action=\"/drav/restart\" style=\"display:inline\">"
         << "<button id=\"restart\">Restart</button></form>\n"
         << "<form method=\"post\" action=\"/drav/update\" style=\"display:inline\">"
         << "<button id=\"update\">Update</button></form>\n"
         << "</p>\n</body></html>\n";
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
    return file.good() && chmod(UpdateFile, 0755) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    Platform& os = SystemPlatform();
    os.CreateNamedMutex("KERNELBIN");  // held until the process ends

    const std::string program = ReadAll(OwnPath());
    Kernel kernel = {static_cast<long>(getpid()), Now(), VersionOf(program), "", false};
    for (int i = 1; i < argc; ++i) kernel.argument += (i > 1 ? " " : "") + std::string(argv[i]);
    // A kernel started in place of an older one takes its update tag away.
    if (kernel.version > 1 && os.QueryFileStatus("update.do").found) {
        kernel.updated = os.RemoveFile("update.do");
    }

    httplib::Server server;
    // Address reuse for a quick restart, but not the library's default port
    // sharing: a second kernel must find the port busy.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    std::atomic<Request> request{Request::None};
    server.Get("/drav", [&](const httplib::Request& req, httplib::Response& res) {
        if (req.get_param_value("t") != "main") {
            res.status = 404;
            return;
        }
        res.set_content(MainPage(kernel), "text/html; charset=utf-8");
    });
    auto asked = [&](Request what, const char* doing) {
        return [&, what, doing](const httplib::Request&, httplib::Response& res) {
            request = what;
            res.set_content(std::string("<!DOCTYPE html><html><body><p id=\"leaving\">") + doing +
                                "</p></body></html>",
                            "text/html; charset=utf-8");
            // Stopped once this answer is on its way.
            std::thread([&server] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                server.stop();
            }).detach();
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
