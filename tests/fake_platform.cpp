#include "tests/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "launcher/launcher.h"
#include "platform/posix/gbk.h"
#include "platform/windows/exit_code.h"
#include "platform/windows/start_failure.h"

namespace {

constexpr long long DefaultStop = 3600LL * 1000;  // a virtual hour
constexpr size_t MaxCalls = 100000;               // more means a loop that never waits

// Notices are GBK; the trace shows them as UTF-8 so that tests can spell them.
std::string FromGbk(const char* text) {
    std::string utf8;
    return GbkToUtf8(text, &utf8) ? utf8 : "<not GBK: " + std::string(text) + ">";
}

std::string FormatTime(long long milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", milliseconds / 1000, milliseconds % 1000);
    return text;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

}  // namespace

// ---- KernelScript ----

KernelScript& KernelScript::At(unsigned milliseconds) {
    at_ = milliseconds;
    return *this;
}

KernelScript& KernelScript::Creates(const std::string& file, const std::string& content) {
    steps_.push_back({at_, Action::Create, file, content});
    return *this;
}

KernelScript& KernelScript::Deletes(const std::string& file) {
    steps_.push_back({at_, Action::Delete, file, ""});
    return *this;
}

KernelScript& KernelScript::Exits(std::uint32_t code) {
    steps_.push_back({at_, Action::Exit, "", "", 0, code});
    return *this;
}

KernelScript& KernelScript::SetsClock(Seconds by) {
    steps_.push_back({at_, Action::SetClock, "", "", by});
    return *this;
}

// ---- Setting up ----

FakePlatform::FakePlatform() : stopAt_(DefaultStop) {}

void FakePlatform::AddFile(const std::string& name, const std::string& content, Seconds age) {
    files_[name] = {Now() - age, content};
}

void FakePlatform::AddDirectory(const std::string& name) {
    files_[name] = {Now(), "", true};
}

void FakePlatform::SetModified(const std::string& name, Seconds time) {
    files_.at(name).modified = time;
}

void FakePlatform::KeepFilesOf(const FakePlatform& earlier) {
    files_ = earlier.files_;
    heldUntil_ = earlier.heldUntil_;
}

KernelScript& FakePlatform::NextKernel() {
    launches_.push_back({false, 0, {}});
    return launches_.back().script;
}

void FakePlatform::FailNextLaunch(int error) {
    launches_.push_back({true, error, {}});
}

void FakePlatform::HoldMutexElsewhere(const std::string& name, int killsSurvived) {
    heldElsewhere_[name] = killsSurvived;
}

void FakePlatform::FailMutex(const std::string& name) {
    failingMutexes_.push_back(name);
}

// ---- Running ----

std::optional<int> FakePlatform::Run(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"launcher"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    try {
        return LauncherMain(*this, static_cast<int>(argv.size() - 1), argv.data());
    } catch (const StillRunning&) {
        return std::nullopt;
    }
}

// ---- Looking at the result ----

std::vector<std::string> FakePlatform::Calls() const {
    std::vector<std::string> calls;
    for (const Entry& entry : trace_) calls.push_back(entry.text);
    return calls;
}

std::vector<std::string> FakePlatform::Effects() const {
    std::vector<std::string> effects;
    for (const Entry& entry : trace_) {
        if (!entry.query) effects.push_back(entry.text);
    }
    return effects;
}

std::vector<std::string> FakePlatform::Timeline() const {
    std::vector<std::string> timeline;
    for (const Entry& entry : trace_) {
        if (!entry.query) timeline.push_back(FormatTime(entry.at) + " " + entry.text);
    }
    return timeline;
}

std::string FakePlatform::Content(const std::string& name) const {
    auto file = files_.find(name);
    return file == files_.end() ? "<absent>" : file->second.content;
}

bool FakePlatform::Holds(const std::string& name) const {
    return std::any_of(mutexHandles_.begin(), mutexHandles_.end(), [&](const auto& handle) {
        return handle.second == name;
    });
}

int FakePlatform::KernelsRunning() const {
    return static_cast<int>(std::count_if(
        processes_.begin(), processes_.end(), [](const Process& p) { return !p.ended; }));
}

// ---- Time and scripted events ----

void FakePlatform::Record(std::string text, bool query) {
    RecordAt(nowMs_, std::move(text), query);
}

void FakePlatform::RecordAt(long long at, std::string text, bool query) {
    trace_.push_back({at, query, std::move(text)});
    CheckLimits();
}

void FakePlatform::CheckLimits() const {
    if (nowMs_ >= stopAt_ || trace_.size() >= std::min(MaxCalls, cutAfter_)) throw StillRunning{};
}

void FakePlatform::AdvanceTo(long long milliseconds) {
    while (!events_.empty() && events_.front().at <= milliseconds) {
        const Event event = events_.front();
        events_.erase(events_.begin());
        nowMs_ = std::max(nowMs_, event.at);
        Apply(event);
    }
    nowMs_ = std::max(nowMs_, milliseconds);
}

void FakePlatform::Apply(const Event& event) {
    Process& process = processes_[event.process];
    if (process.ended) return;  // a killed kernel does nothing more
    switch (event.step.action) {
        case KernelScript::Action::Create:
            files_[event.step.file] = {Now(), event.step.content};
            break;
        case KernelScript::Action::Delete: files_.erase(event.step.file); break;
        case KernelScript::Action::Exit:
            process.ended = true;
            process.exitCode = event.step.code;
            break;
        case KernelScript::Action::SetClock: clockSetBy_ += event.step.by; break;
    }
}

bool FakePlatform::Held(const std::string& name) const {
    auto held = heldUntil_.find(name);
    return held != heldUntil_.end() && nowMs_ < held->second;
}

size_t FakePlatform::ProcessOf(Handle handle) const {
    const size_t index = static_cast<size_t>(handle - 1);
    if (handle < 1 || index >= processes_.size()) throw std::logic_error("not a process handle");
    return index;
}

// ---- Platform ----

void FakePlatform::FreeConsole() {
    Record("free console");
}

void FakePlatform::SetLocale(const char* name) {
    Record(std::string("locale ") + name);
}

FileStatus FakePlatform::QueryFileStatus(const char* name) {
    auto file = files_.find(name);
    const bool found = file != files_.end();
    Record(std::string("stat ") + name + (found ? "" : " -> absent"), true);
    if (!found) return {false, 0, false, false, 0};
    return {true,
            file->second.modified,
            file->second.directory,
            file->second.readOnly,
            static_cast<std::int64_t>(file->second.content.size())};
}

bool FakePlatform::RemoveFile(const char* name) {
    auto file = files_.find(name);
    const bool removed =
        file != files_.end() && !Held(name) && !file->second.directory && !file->second.readOnly;
    if (removed) files_.erase(file);
    Record(std::string("remove ") + name + (removed ? "" : " -> failed"));
    return removed;
}

void FakePlatform::ClearReadOnly(const char* name) {
    auto file = files_.find(name);
    if (file != files_.end()) file->second.readOnly = false;
    Record(std::string("clear read-only ") + name);
}

bool FakePlatform::CreateEmptyFile(const char* name) {
    auto file = files_.find(name);
    const bool created = file == files_.end() || !file->second.directory;
    if (file == files_.end()) files_[name] = {Now(), ""};
    Record(std::string("create ") + name + (created ? "" : " -> failed"));
    return created;
}

// The record's own calls are quiet: a test reads the record as a file.
bool FakePlatform::AppendToFile(const char* name, const char* text) {
    auto file = files_.find(name);
    const bool appended = !Held(name) && (file == files_.end() ||
                                          (!file->second.directory && !file->second.readOnly));
    if (appended) {
        if (file == files_.end()) file = files_.emplace(name, File{Now(), ""}).first;
        file->second.content += text;
        file->second.modified = Now();
    }
    Record(std::string("append ") + name + (appended ? "" : " -> failed"), true);
    return appended;
}

bool FakePlatform::EmptyFile(const char* name) {
    auto file = files_.find(name);
    const bool emptied =
        file != files_.end() && !Held(name) && !file->second.directory && !file->second.readOnly;
    if (emptied) file->second.content.clear();
    Record(std::string("empty ") + name + (emptied ? "" : " -> failed"), true);
    return emptied;
}

bool FakePlatform::RenameFile(const char* from, const char* to) {
    auto file = files_.find(from);
    auto replaced = files_.find(to);
    const bool renamed = file != files_.end() && !Held(from) && !Held(to) &&
                         (replaced == files_.end() || !replaced->second.directory);
    if (renamed) {
        File moved = file->second;
        files_.erase(file);
        files_[to] = moved;
    }
    Record(std::string("rename ") + from + " " + to + (renamed ? "" : " -> failed"), true);
    return renamed;
}

bool FakePlatform::EnterProgramDirectory() {
    const std::string prefix = ProgramDir;
    Record("chdir " + prefix + (programDirectoryLost_ ? " -> failed" : ""));
    if (programDirectoryLost_) return false;
    // Only what was named under it is seen now, by its name in it.
    std::map<std::string, File> entered;
    for (const auto& [name, file] : files_) {
        if (name.rfind(prefix, 0) == 0) entered[name.substr(prefix.size())] = file;
    }
    if (!entered.empty()) files_ = entered;
    return true;
}

Seconds FakePlatform::CurrentTime() {
    Record("clock", true);
    return Now();
}

LocalTime FakePlatform::CurrentLocalTime() {
    Record("local time", true);
    const std::time_t now = static_cast<std::time_t>(Now());
    std::tm utc = {};
    gmtime_r(&now, &utc);
    return {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
}

Milliseconds FakePlatform::TickCount() {
    Record("ticks", true);
    return nowMs_;
}

void FakePlatform::WriteOutput(const char* text) {
    Record(std::string("log ") + text);
}

void FakePlatform::ShowNotice(const char* text, const char* caption) {
    Record("notice " + FromGbk(caption) + ": " + FromGbk(text));
}

void FakePlatform::NoticeToUtf8(const char* notice, char* text, std::size_t size) {
    std::snprintf(text, size, "%s", FromGbk(notice).c_str());
}

MutexResult FakePlatform::CreateNamedMutex(const char* name) {
    if (std::find(failingMutexes_.begin(), failingMutexes_.end(), name) != failingMutexes_.end()) {
        Record(std::string("mutex ") + name + " -> failed");
        return {NoHandle, false};
    }
    const bool exists = heldElsewhere_.count(name) != 0 || Holds(name);
    const Handle handle = nextMutexHandle_++;
    mutexHandles_[handle] = name;
    Record(std::string("mutex ") + name + (exists ? " -> exists" : " -> new"));
    return {handle, exists};
}

void FakePlatform::CloseHandle(Handle handle) {
    auto mutex = mutexHandles_.find(handle);
    if (mutex != mutexHandles_.end()) {
        Record("close " + mutex->second);
        mutexHandles_.erase(mutex);
        return;
    }
    Record("close #" + std::to_string(ProcessOf(handle) + 1));
}

void FakePlatform::OpenWebAddress(const char* address) {
    Record(std::string("open ") + address);
}

bool FakePlatform::RunCommand(const char* command, unsigned milliseconds) {
    if (hanging_.count(command) != 0) {
        Record(std::string("command ") + command + " -> ended after " +
               std::to_string(milliseconds) + " ms");
        AdvanceTo(nowMs_ + milliseconds);
        return false;
    }
    const std::vector<std::string> words = Words(command);
    const bool failed = words.size() == 3 && words[0] == "move" && !Move(words[1], words[2]);
    Record(std::string("command ") + command + (failed ? " -> failed" : ""));
    if (words == std::vector<std::string>{"taskkill", "/f", "/im", "kernel.bin"}) KillKernels();
    return true;
}

bool FakePlatform::Move(const std::string& from, const std::string& to) {
    // An existing destination is kept, as by "move" when nobody answers its
    // question whether to overwrite it.
    auto file = files_.find(from);
    if (file == files_.end() || Held(from) || files_.count(to) != 0) {
        return false;
    }
    File moved = file->second;
    files_.erase(file);
    files_[to] = moved;
    return true;
}

void FakePlatform::KillKernels() {
    for (Process& process : processes_) {
        if (!process.ended) process.exitCode = 1;  // as "taskkill /f" ends a process
        process.ended = true;
    }
    for (auto held = heldElsewhere_.begin(); held != heldElsewhere_.end();) {
        if (held->second-- == 0) {
            held = heldElsewhere_.erase(held);
        } else {
            ++held;
        }
    }
}

LaunchResult FakePlatform::StartProcess(const char* commandLine) {
    Launch launch{false, 0, {}};
    if (nextLaunch_ < launches_.size()) launch = launches_[nextLaunch_];
    ++nextLaunch_;
    const std::vector<std::string> words = Words(commandLine);
    if (!launch.fails && (words.empty() || !HasFile(words[0])))
        launch = {true, 2, {}};  // not found
    else if (!launch.fails && Content(words[0]) == NotAProgram)
        launch = {true, 193, {}};
    if (launch.fails) {
        Record(std::string("start ") + commandLine + " -> error " + std::to_string(launch.error));
        const bool directory =
            !words.empty() && files_.count(words[0]) != 0 && files_.at(words[0]).directory;
        return NotStarted(launch.error,
                          StartFailureOf(static_cast<std::uint32_t>(launch.error), directory));
    }
    const size_t number = processes_.size() + 1;
    processes_.push_back({false, 0});
    for (const KernelScript::Step& step : launch.script.steps_) {
        events_.push_back({nowMs_ + step.at, number - 1, step});
    }
    std::stable_sort(
        events_.begin(), events_.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
    Record(std::string("start ") + commandLine + " -> #" + std::to_string(number));
    AdvanceTo(nowMs_);  // what the kernel does at once
    return Started(static_cast<Handle>(number), static_cast<std::uint32_t>(number));
}

void FakePlatform::TerminateProcess(Handle process, unsigned exitCode) {
    Process& terminated = processes_[ProcessOf(process)];
    if (!terminated.ended) terminated.exitCode = exitCode;
    terminated.ended = true;
    Record("terminate #" + std::to_string(process) + " (" + std::to_string(exitCode) + ")");
}

bool FakePlatform::WaitForProcessEnd(Handle process, unsigned milliseconds) {
    const size_t index = ProcessOf(process);
    const long long start = nowMs_;
    const long long deadline = start + milliseconds;
    while (!processes_[index].ended && !events_.empty() && events_.front().at <= deadline) {
        AdvanceTo(events_.front().at);
    }
    const bool ended = processes_[index].ended;
    if (!ended) AdvanceTo(deadline);
    RecordAt(start, "wait #" + std::to_string(process) + (ended ? " -> ended" : " -> timeout"));
    return ended;
}

void FakePlatform::DescribeExit(Handle process, char* text, std::size_t size) {
    Record("exit of #" + std::to_string(process), true);
    DescribeExitCode(processes_[ProcessOf(process)].exitCode, text, size);
}

void FakePlatform::Sleep(unsigned milliseconds) {
    Record("sleep " + std::to_string(milliseconds));
    long long until = nowMs_ + milliseconds;
    if (suspendAt_ >= nowMs_ && suspendAt_ < until) {
        // What the kernel was to do later, it does that much later.
        until += suspendedFor_;
        for (Event& event : events_) {
            if (event.at > suspendAt_) event.at += suspendedFor_;
        }
    }
    AdvanceTo(until);
    CheckLimits();
}
