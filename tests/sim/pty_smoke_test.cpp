// rexsim as a process: its pty answers, its control socket reports, and it
// ends cleanly on SIGTERM.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Reads from fd until `want` bytes came, `until` says stop, or 3 s passed.
std::string readSome(int fd, size_t want, char until = 0) {
    std::string out;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (out.size() < want && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char c;
        if (::read(fd, &c, 1) != 1) {
            break;
        }
        out += c;
        if (until != 0 && c == until) {
            break;
        }
    }
    return out;
}

class RexsimProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string base = "/tmp/rexsim-smoke-" + std::to_string(::getpid());
        link_ = base + ".tty";
        sock_ = base + ".sock";
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::string args[] = {REXSIM_EXE, "--frozen",  "--stations", "1,2",          "--link",
                              link_,      "--control", sock_,        "--exit-after", "30"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, REXSIM_EXE, &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        stdout_ = out[0];
        slavePath_ = readSome(stdout_, 256, '\n');
        ASSERT_FALSE(slavePath_.empty());
        ASSERT_EQ(slavePath_.back(), '\n');
        slavePath_.pop_back();
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) {
            ::close(stdout_);
        }
    }
    int openLine() {
        int fd = ::open(link_.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) {
            termios t{};
            ::tcgetattr(fd, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }
    std::string control(const std::string& cmd) {
        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock_.c_str());
        if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(s);
            return "connect failed";
        }
        std::string line = cmd + "\n";
        EXPECT_EQ(::write(s, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        std::string reply = readSome(s, 4096, '\n');
        ::close(s);
        return reply;
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string link_, sock_, slavePath_;
};

TEST_F(RexsimProcess, AnswersOnThePtyAcrossReopenAndEndsCleanly) {
    char target[256] = {};
    ASSERT_GT(::readlink(link_.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slavePath_, target);

    int fd = openLine();
    ASSERT_GE(fd, 0);
    std::string poll = "\x04"
                       "01M1\x05";
    ASSERT_EQ(::write(fd, poll.data(), poll.size()), static_cast<ssize_t>(poll.size()));
    EXPECT_EQ(readSome(fd, 11), "\x02M10025.0\x03\x66");
    ASSERT_EQ(::write(fd, "\x04", 1), 1);
    ::close(fd);

    // The host closes and reopens the port: the line is still there.
    fd = openLine();
    ASSERT_GE(fd, 0);
    std::string write = "\x04"
                        "01\x02S1000150\x03\x65";
    ASSERT_EQ(::write(fd, write.data(), write.size()), static_cast<ssize_t>(write.size()));
    EXPECT_EQ(readSome(fd, 1), "\x06");
    ::close(fd);
    EXPECT_EQ(control("get 1 S1"), "0150.0\n");

    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link_.c_str(), &st), 0) << "link left behind";
    EXPECT_NE(::lstat(sock_.c_str(), &st), 0) << "control socket left behind";
}

} // namespace
