#include "test_peers.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace ov::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& arg : argv) out.push_back(const_cast<char*>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

uint16_t free_port(int type) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (std::getenv("OV_TEST_VERBOSE") == nullptr) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    auto args = c_argv(argv);
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
        close(out[0]);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out[0]));
}

ChildProcess::~ChildProcess() {
    stop();
    close(stdout_fd_);
}

void ChildProcess::stop() {
    if (exited_) return;
    kill(pid_, SIGTERM);
    if (wait_exit(std::chrono::seconds(3))) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exited_ = true;
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd descriptor{stdout_fd_, POLLIN, 0};
        if (poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[1024];
        const ssize_t n = read(stdout_fd_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        pending_.append(chunk, static_cast<size_t>(n));
    }
}

bool ChildProcess::wait_for_line(const std::string& expected, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto line = read_line(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (!line) return false;
        if (*line == expected) return true;
    }
    return false;
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 || Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<int> run_program(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    const auto child = ChildProcess::start(argv);
    if (!child) return std::nullopt;
    return child->wait_exit(timeout);
}

bool program_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', begin), dirs.size());
        const std::string candidate = dirs.substr(begin, end - begin) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        begin = end + 1;
    }
    return false;
}

uint16_t free_udp_port() { return free_port(SOCK_DGRAM); }
uint16_t free_tcp_port() { return free_port(SOCK_STREAM); }

}  // namespace ov::test
