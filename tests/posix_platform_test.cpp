// The POSIX platform layer against the real system: named mutexes,
// processes, the stock commands, file status and notices.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// Each test runs in a fresh directory of its own, which is also where its
// named mutexes live.
class PosixPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/launcher-platform-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ASSERT_EQ(chdir("/"), 0);
        const std::string command = "/bin/rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    static void Write(const std::string& path, const std::string& content) {
        std::ofstream(path) << content;
    }
    static std::string Read(const std::string& path) {
        std::ifstream file(path);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
    // True when the test process has no child left, ended or not.
    static bool NoChildLeft() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }
    std::string ExitOf(Handle process) {
        char exit[64];
        os_.DescribeExit(process, exit, sizeof exit);
        return exit;
    }

    Platform& os_ = SystemPlatform();
    std::string dir_;
};

TEST_F(PosixPlatformTest, MutexNameExistsWhileAnyHolderKeepsItOpen) {
    const MutexResult first = os_.CreateNamedMutex("NAME");
    ASSERT_NE(first.mutex, NoHandle);
    EXPECT_FALSE(first.alreadyExists);

    const MutexResult second = os_.CreateNamedMutex("NAME");
    ASSERT_NE(second.mutex, NoHandle);
    EXPECT_TRUE(second.alreadyExists);

    os_.CloseHandle(first.mutex);
    const MutexResult third = os_.CreateNamedMutex("NAME");
    EXPECT_TRUE(third.alreadyExists);  // the second holder still has it

    os_.CloseHandle(second.mutex);
    os_.CloseHandle(third.mutex);
    const MutexResult fourth = os_.CreateNamedMutex("NAME");
    EXPECT_FALSE(fourth.alreadyExists);
    EXPECT_FALSE(os_.CreateNamedMutex("OTHER").alreadyExists);
}

TEST_F(PosixPlatformTest, MutexNameHeldByAnotherProcessExists) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        SystemPlatform().CreateNamedMutex("SHARED");
        const char done = 1;
        if (write(ready[1], &done, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char done;
    ASSERT_EQ(read(ready[0], &done, 1), 1);

    const MutexResult second = os_.CreateNamedMutex("SHARED");
    EXPECT_TRUE(second.alreadyExists);
    os_.CloseHandle(second.mutex);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_FALSE(os_.CreateNamedMutex("SHARED").alreadyExists);
}

TEST_F(PosixPlatformTest, MutexLockFileIsPrivateAndLinksAreNotFollowed) {
    const std::string lockFile = dir_ + "/PRIVATE-" + std::to_string(getuid()) + ".lock";
    ASSERT_NE(os_.CreateNamedMutex("PRIVATE").mutex, NoHandle);
    struct stat status;
    ASSERT_EQ(stat(lockFile.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    const std::string planted = dir_ + "/PLANTED-" + std::to_string(getuid()) + ".lock";
    Write(dir_ + "/target", "keep");
    ASSERT_EQ(symlink((dir_ + "/target").c_str(), planted.c_str()), 0);
    const MutexResult result = os_.CreateNamedMutex("PLANTED");
    EXPECT_EQ(result.mutex, NoHandle);
    EXPECT_FALSE(result.alreadyExists);
    EXPECT_EQ(Read(dir_ + "/target"), "keep");
}

TEST_F(PosixPlatformTest, ProgramIsLookedForInTheWorkingDirectory) {
    Write("program.sh", "#!/bin/sh\necho \"$#:$1:$2\" > out.txt\n");
    chmod("program.sh", 0755);

    const LaunchResult launch = os_.StartProcess("program.sh \"a b\" c;d");
    ASSERT_TRUE(launch.started) << launch.error;
    EXPECT_TRUE(os_.WaitForProcessEnd(launch.process, 5000));
    EXPECT_EQ(ExitOf(launch.process), "exit status 0");
    os_.CloseHandle(launch.process);

    EXPECT_EQ(Read("out.txt"), "2:a b:c;d\n");
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(PosixPlatformTest, LaunchErrorsAreErrnoCodes) {
    Write("plain.txt", "not a program");

    EXPECT_EQ(os_.StartProcess("missing.bin").error, ENOENT);
    EXPECT_EQ(os_.StartProcess("missing.bin -debug").error, 2);
    EXPECT_EQ(os_.StartProcess("").error, ENOENT);
    EXPECT_EQ(os_.StartProcess("plain.txt").error, EACCES);
    // Not there, not a program, a directory: broken.
    ASSERT_EQ(mkdir("directory.bin", 0755), 0);
    for (const char* name : {"missing.bin", "plain.txt", "directory.bin"}) {
        EXPECT_EQ(os_.StartProcess(name).failure, StartFailure::Broken) << name;
    }
    // A program still open for writing, as one being written or scanned.
    const int writer = open("busy.bin", O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    const LaunchResult busy = os_.StartProcess("busy.bin");
    close(writer);
    EXPECT_TRUE(busy.error == ETXTBSY && busy.failure == StartFailure::Held) << busy.error;
    EXPECT_TRUE(NoChildLeft());
}

// Its end told until its handle is closed, as on Windows; then reaped.
TEST_F(PosixPlatformTest, TerminatedProcessIsSeenEndedToldAndReapedAsItsHandleCloses) {
    const LaunchResult launch = os_.StartProcess("/bin/sleep 30");
    ASSERT_TRUE(launch.started) << launch.error;

    EXPECT_FALSE(os_.WaitForProcessEnd(launch.process, 100));
    os_.TerminateProcess(launch.process, 0);
    EXPECT_TRUE(os_.WaitForProcessEnd(launch.process, 5000));
    EXPECT_EQ(ExitOf(launch.process), "signal 9 (SIGKILL)");
    os_.CloseHandle(launch.process);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(PosixPlatformTest, WaitEndsAsSoonAsTheProcessEnds) {
    const LaunchResult launch = os_.StartProcess("/bin/sleep 0.2");
    ASSERT_TRUE(launch.started);
    const auto start = Clock::now();

    EXPECT_TRUE(os_.WaitForProcessEnd(launch.process, 5000));

    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    os_.CloseHandle(launch.process);
}

void IgnoreSignal(int) {}

TEST_F(PosixPlatformTest, SleepLastsItsFullTimeThroughSignals) {
    struct sigaction action = {};
    action.sa_handler = IgnoreSignal;  // without SA_RESTART
    sigaction(SIGALRM, &action, nullptr);
    const auto start = Clock::now();
    ualarm(50000, 0);

    os_.Sleep(300);

    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(PosixPlatformTest, MoveRenamesWithBackslashesButNeverOntoAFileNorAHeldOne) {
    mkdir("update", 0755);
    Write("kernel.bin", "old");
    Write("update/_UPDATE.NEW", "new");
    Write("update/ROLLBACK.BIN", "older");

    os_.RunCommand("move kernel.bin update\\ROLLBACK.BIN", 1000);
    EXPECT_EQ(Read("update/ROLLBACK.BIN"), "older");
    EXPECT_EQ(Read("kernel.bin"), "old");

    ASSERT_EQ(unlink("update/ROLLBACK.BIN"), 0);
    os_.RunCommand("move kernel.bin update\\ROLLBACK.BIN", 1000);
    // Open for writing, as a scanner may hold it, until it is let go.
    const int writer = open("update/_UPDATE.NEW", O_WRONLY | O_CLOEXEC);
    os_.RunCommand("move update\\_UPDATE.NEW kernel.bin", 1000);
    EXPECT_FALSE(Exists("kernel.bin"));
    close(writer);
    os_.RunCommand("move update\\_UPDATE.NEW kernel.bin", 1000);

    EXPECT_EQ(Read("kernel.bin"), "new");
    EXPECT_EQ(Read("update/ROLLBACK.BIN"), "old");
    EXPECT_FALSE(Exists("update/_UPDATE.NEW"));
}

TEST_F(PosixPlatformTest, TaskkillEndsEveryProcessOfThatName) {
    // A copy of sleep with a name of its own, so nothing else is hit.
    const std::string name = "lt" + std::to_string(getpid()) + ".bin";
    ASSERT_EQ(std::system(("cp /bin/sleep " + name).c_str()), 0);
    const LaunchResult first = os_.StartProcess((name + " 30").c_str());
    const LaunchResult second = os_.StartProcess((name + " 30").c_str());
    const LaunchResult other = os_.StartProcess("/bin/sleep 30");
    ASSERT_TRUE(first.started && second.started && other.started);

    os_.RunCommand(("taskkill /f /im " + name).c_str(), 1000);

    EXPECT_TRUE(os_.WaitForProcessEnd(first.process, 0));
    EXPECT_TRUE(os_.WaitForProcessEnd(second.process, 0));
    EXPECT_FALSE(os_.WaitForProcessEnd(other.process, 0));
    os_.TerminateProcess(other.process, 0);
    EXPECT_TRUE(os_.WaitForProcessEnd(other.process, 5000));
    for (const LaunchResult& launch : {first, second, other}) os_.CloseHandle(launch.process);
}

TEST_F(PosixPlatformTest, OtherCommandsGoToTheShellWhichIsEndedWhenItsTimeIsUp) {
    EXPECT_TRUE(os_.RunCommand("echo shell > out.txt", 5000));
    EXPECT_FALSE(os_.RunCommand("exec sleep 30", 100));  // no child to outlive it

    EXPECT_EQ(Read("out.txt"), "shell\n");
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(PosixPlatformTest, FileStatusTellsTimeDirectoryAndReadOnlyWithBackslashes) {
    mkdir("update", 0755);
    Write("update/_UPDATE.NEW", "");
    const timespec times[2] = {{0, UTIME_OMIT}, {8589934592LL, 0}};  // 2^33, in 2242
    ASSERT_EQ(utimensat(AT_FDCWD, "update/_UPDATE.NEW", times, 0), 0);
    chmod("update/_UPDATE.NEW", 0444);
    symlink("_UPDATE.NEW", "update/link");
    mkdir("update.do", 0755);

    const FileStatus update = os_.QueryFileStatus("update\\_UPDATE.NEW");
    EXPECT_TRUE(update.found && update.readOnly && !update.directory);
    EXPECT_EQ(update.modified, 8589934592LL);
    EXPECT_TRUE(os_.QueryFileStatus("update.do").directory);
    EXPECT_FALSE(os_.QueryFileStatus("absent.do").found);
    EXPECT_FALSE(os_.RemoveFile("absent.do"));
    // Appended to as on Windows: never a read-only file, nor a directory.
    EXPECT_FALSE(os_.AppendToFile("update\\_UPDATE.NEW", "x\n") ||
                 os_.AppendToFile("update.do", "x\n"));
    os_.ClearReadOnly("update\\link");  // a link: what it points to stays read-only
    EXPECT_FALSE(os_.RemoveFile("update\\_UPDATE.NEW"));
    os_.ClearReadOnly("update\\_UPDATE.NEW");
    EXPECT_TRUE(os_.RemoveFile("update\\_UPDATE.NEW"));
    // Created where missing, never through a link, even one to nothing.
    EXPECT_TRUE(os_.CreateEmptyFile("update\\ON_TRIAL") && Exists("update/ON_TRIAL"));
    EXPECT_FALSE(os_.CreateEmptyFile("update\\link") || os_.AppendToFile("update\\link", "x\n") ||
                 Exists("update/_UPDATE.NEW"));
    EXPECT_TRUE(os_.AppendToFile("update\\ON_TRIAL", "one\n") &&
                os_.AppendToFile("update\\ON_TRIAL", "two\n"));
    EXPECT_EQ(os_.QueryFileStatus("update\\ON_TRIAL").size, 8);
    // A link to nothing is there all the same, as Windows sees it.
    EXPECT_TRUE(os_.QueryFileStatus("update\\link").found);
    EXPECT_TRUE(os_.RemoveFile("update\\link"));
}

TEST_F(PosixPlatformTest, NoticeWithoutDesktopOrTerminalGoesToStandardErrorInUtf8) {
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();  // no controlling terminal
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        dup2(output[1], STDERR_FILENO);
        SystemPlatform().ShowNotice("\xb3\xcc\xd0\xf2\xd2\xd1\xd4\xcb\xd0\xd0", "\xbe\xaf\xb8\xe6");
        _exit(0);
    }
    close(output[1]);
    std::string text;
    char buffer[256];
    ssize_t length;
    while ((length = read(output[0], buffer, sizeof buffer)) > 0) text.append(buffer, length);
    waitpid(child, nullptr, 0);

    EXPECT_EQ(text, "警告: 程序已运行\n");
}

TEST_F(PosixPlatformTest, LogReaderThatWentAwayDoesNotEndTheLauncher) {
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    close(output[0]);  // nobody reads
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        SystemPlatform().WriteOutput("starting kernel...\n");
        _exit(7);
    }
    close(output[1]);
    int status;
    waitpid(child, &status, 0);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}

TEST_F(PosixPlatformTest, WebAddressGoesToXdgOpenWhichIsNotLeftAsAChild) {
    mkdir("bin", 0755);
    Write("bin/xdg-open", "#!/bin/sh\necho \"$@\" > " + dir_ + "/opened.txt\n");
    chmod("bin/xdg-open", 0755);
    setenv("PATH", (dir_ + "/bin:/usr/bin:/bin").c_str(), 1);

    os_.OpenWebAddress("http://127.0.0.1:9080/drav?t=main");

    EXPECT_TRUE(NoChildLeft());
    for (int i = 0; i < 100 && Read("opened.txt").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(Read("opened.txt"), "http://127.0.0.1:9080/drav?t=main\n");
}

TEST_F(PosixPlatformTest, WithoutXdgOpenNothingHappens) {
    setenv("PATH", dir_.c_str(), 1);

    os_.OpenWebAddress("http://127.0.0.1:9080/drav?t=main");

    EXPECT_TRUE(NoChildLeft());
}

}  // namespace
