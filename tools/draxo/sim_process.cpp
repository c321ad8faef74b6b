#include "sim_process.h"

#include "gates.h"

#if defined(_WIN32)

namespace draxo::tool {

SimProcess::SimProcess(const std::filesystem::path&, const std::vector<std::string>&, bool) {
    throw UsageError{"the simulator runs on Linux only (it needs a pseudo-terminal)"};
}
SimProcess::~SimProcess() = default;
void SimProcess::stop() {}

} // namespace draxo::tool

#else

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace draxo::tool {

SimProcess::SimProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                       bool showErrors) {
    int fds[2];
    if (pipe(fds) != 0) {
        throw UsageError{std::string("pipe: ") + std::strerror(errno)};
    }
    std::vector<std::string> argvStore{program.string()};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        close(fds[0]);
        close(fds[1]);
        throw UsageError{std::string("fork: ") + std::strerror(errno)};
    }
    if (pid_ == 0) {
        // Its own process group, so that Ctrl-C reaches only us and we stop
        // it in order; and it ends with us should we die first.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        if (!showErrors) {
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, STDERR_FILENO);
                close(null);
            }
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];

    // The first line, within five seconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string buf;
    while (buf.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            stop();
            throw UsageError{"the simulator printed no line within 5 s"};
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            continue;
        }
        char chunk[256];
        ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            stop();
            throw UsageError{"the simulator " + program.string() + " ended at once"};
        }
        buf.append(chunk, static_cast<std::size_t>(n));
    }
    firstLine_ = buf.substr(0, buf.find('\n'));
    if (!firstLine_.empty() && firstLine_.back() == '\r') {
        firstLine_.pop_back();
    }
    // Whatever else it prints is read and dropped, so it never blocks on a
    // full pipe.
    int fd = fd_;
    drain_ = std::thread([fd] {
        char chunk[512];
        while (read(fd, chunk, sizeof chunk) > 0) {
        }
    });
}

void SimProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool gone = false;
        for (int i = 0; i < 40 && !gone; ++i) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || r < 0) {
                gone = true;
            } else {
                usleep(50000);
            }
        }
        if (!gone) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (drain_.joinable()) {
        drain_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

SimProcess::~SimProcess() {
    stop();
}

} // namespace draxo::tool

#endif
