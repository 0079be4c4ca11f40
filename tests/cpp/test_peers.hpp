#pragma once

// Real counterparts of the media tests: programs started by a test (ffmpeg,
// Xvfb, our RTSP server) and free loopback ports for them.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ov::test {

// A program started by a test. Its standard output is readable line by line;
// standard error goes to /dev/null unless OV_TEST_VERBOSE is set. The program
// is ended when this goes (SIGTERM, then SIGKILL after a grace period).
class ChildProcess {
public:
    // Empty when the program cannot be started.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output, or none after `timeout` or at its end.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Reads lines until one equals `expected`; false on timeout or end.
    bool wait_for_line(const std::string& expected, std::chrono::milliseconds timeout);
    // The exit status once the program ended within `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    pid_t pid() const { return pid_; }

private:
    ChildProcess(pid_t pid, int stdout_fd) : pid_(pid), stdout_fd_(stdout_fd) {}
    void stop();

    pid_t pid_;
    int stdout_fd_;
    std::string pending_;  // output read past the last returned line
    bool exited_ = false;
};

// Runs a program to its end; its exit status, or none when it could not start
// or did not end within `timeout` (it is killed then).
std::optional<int> run_program(const std::vector<std::string>& argv,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Whether `name` is an executable on PATH.
bool program_on_path(const std::string& name);

// A port on 127.0.0.1 that was free a moment ago (the kernel's choice for port 0).
uint16_t free_udp_port();
uint16_t free_tcp_port();

}  // namespace ov::test
