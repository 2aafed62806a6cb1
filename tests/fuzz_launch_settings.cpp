// libFuzzer target: the launch settings from any argument count and bytes,
// and the splitting of the kernel command line and of any text.
//
// Input: the first byte gives the argument count (0 to 5, program name
// included); the rest, cut at zero bytes, gives the arguments.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "platform/posix/command_line.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int argc = data[0] % 6;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() < 5) {
        const std::size_t end = rest.find('\0', start);
        parts.push_back(rest.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    parts.resize(5);
    std::vector<const char*> argv = {"launcher"};
    for (const std::string& part : parts) argv.push_back(part.c_str());
    argv.resize(static_cast<std::size_t>(argc));
    argv.push_back(nullptr);

    LaunchSettings settings;
    const bool accepted = BuildLaunchSettings(argc, argv.data(), &settings);
    const bool oneArgument = argc == 2;
    if (!accepted) {
        Check(oneArgument && std::strlen(argv[1]) > MaxArgumentLength);
    } else {
        // Never longer than 259 bytes, and what it should be.
        Check(std::memchr(settings.kernelCommandLine, '\0', CommandLineSize) != nullptr);
        Check(settings.debugMode == (oneArgument && std::strcmp(argv[1], "-debug") == 0));
        const std::string expected =
            oneArgument ? std::string("kernel.bin ") + argv[1] : "kernel.bin";
        Check(expected == settings.kernelCommandLine);
        const std::vector<std::string> words = SplitCommandLine(settings.kernelCommandLine);
        Check(!words.empty() && words[0] == "kernel.bin");
    }

    // Any text at all: no word is longer than the text.
    const std::vector<std::string> words = SplitCommandLine(rest.c_str());
    for (const std::string& word : words) Check(word.size() <= rest.size());

    // Any two times.
    if (size >= 17) {
        Seconds modified;
        Seconds now;
        std::memcpy(&modified, data + 1, sizeof modified);
        std::memcpy(&now, data + 9, sizeof now);
        IsStale({true, modified}, now);
    }
    return 0;
}
