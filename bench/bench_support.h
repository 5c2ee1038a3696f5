#pragma once
// What the benchmarks that run the real window share: a folder of their own for the window's
// settings and the camera's logs, the simulated camera as a child process, reading the window's
// last published frame, and the process's resident memory.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"

namespace kestrel::app {
// Reads what the window published, to tell which frame a repaint shows.
struct TForm1TestAccess {
    static std::span<const std::uint8_t> image(const TForm1& form) { return form.frames.image(); }
};
}  // namespace kestrel::app

namespace kestrel::bench {

// The resident memory of this process, in megabytes.
inline double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// A new folder under /tmp, removed with everything in it when this goes. path() is empty if it
// could not be made.
class ScratchDir {
public:
    ScratchDir() {
        std::string name = "/tmp/kestrel-bench-XXXXXX";
        if (mkdtemp(name.data()) != nullptr) {
            path_ = name;
        }
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The simulated camera, run as `args` (the program's path first) in a child process (see
// waitForListener for knowing when it listens). It is stopped (SIGTERM, then waited for) by stop()
// or when this goes. Its standard error goes to `errorLog` if one is named, else where this
// process's goes.
class CameraProcess {
public:
    explicit CameraProcess(std::vector<std::string> args, const std::string& errorLog = {}) {
        pid_ = fork();
        if (pid_ == 0) {
            if (!errorLog.empty()) {
                const int fd = open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) {
                    dup2(fd, STDERR_FILENO);
                    close(fd);
                }
            }
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }

    // Waits until something accepts connections on 127.0.0.1:port, for 10 s at the most.
    static bool waitForListener(int port) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's cast
            const bool listening =
                connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            if (listening) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    ~CameraProcess() { stop(); }
    CameraProcess(const CameraProcess&) = delete;
    CameraProcess& operator=(const CameraProcess&) = delete;

    // Whether the camera still runs (it ends at once when it cannot listen, say).
    [[nodiscard]] bool running() {
        if (pid_ <= 0) {
            return false;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
};

}  // namespace kestrel::bench
