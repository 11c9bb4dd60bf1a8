#pragma once

// Programs started for a test and stopped after it (a script of the tests'
// folder under Debian's Python, or another program by its path), and free
// ports on this machine: for GoogleTest and Qt Test alike. Everything is on
// 127.0.0.1.

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace modbuscalc_test {

using Clock = std::chrono::steady_clock;

// A free TCP port on this machine, or a socket that accepts connections and
// never answers them.
class LocalPort {
public:
    explicit LocalPort(bool listen)
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), size);
        ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &size);
        m_port = ntohs(address.sin_port);
        if (listen)
            ::listen(m_socket, 8);
        else
            close();
    }
    ~LocalPort() { close(); }
    LocalPort(const LocalPort &) = delete;
    LocalPort &operator=(const LocalPort &) = delete;
    std::string host() const { return "127.0.0.1:" + std::to_string(m_port); }
    int port() const { return m_port; }

private:
    void close()
    {
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }
    int m_socket = -1;
    int m_port = 0;
};

inline bool accepts(int port)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(probe);
    return up;
}

// A program started for a test and stopped after it: a script of the
// tests' folder under Debian's Python, or another program by its path.
class Service {
public:
    // Ready once ready() says so, within 30 s; never a fixed wait.
    Service(std::vector<std::string> command, const std::function<bool()> &ready)
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            std::vector<char *> argv;
            for (std::string &word : command)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < until) {
            if (ready()) {
                m_up = true;
                return;
            }
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Service()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
    bool up() const { return m_up; }

    static std::vector<std::string> python(const std::string &script, std::vector<std::string> args)
    {
        args.insert(
            args.begin(), { "/usr/bin/python3", std::string(MODBUSCALC_TEST_SERVERS) + script });
        return args;
    }

private:
    pid_t m_pid = -1;
    bool m_up = false;
};

// Two pseudo-terminals joined by socat, as a serial line between
// modbuscalc (ours) and a device (theirs); they take no parity but N.
class SerialPair {
public:
    explicit SerialPair(const std::filesystem::path &folder)
        : m_ours((folder / "ours").string())
        , m_theirs((folder / "theirs").string())
        , m_socat({ "/usr/bin/socat", "pty,raw,echo=0,link=" + m_ours,
                      "pty,raw,echo=0,link=" + m_theirs },
              [this] {
                  return std::filesystem::exists(m_ours) && std::filesystem::exists(m_theirs);
              })
    {
    }
    bool up() const { return m_socat.up(); }
    const std::string &ours() const { return m_ours; }
    const std::string &theirs() const { return m_theirs; }

private:
    std::string m_ours, m_theirs;
    Service m_socat;
};

} // namespace modbuscalc_test
