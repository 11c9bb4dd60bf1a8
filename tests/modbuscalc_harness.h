#pragma once

// Runs the built modbuscalc as a user would, with arguments, standard input
// and files, and compares what it writes and its exit status.

#include "version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace modbuscalc_test {

namespace fs = std::filesystem;

struct Result {
    std::string out, err;
    int status = -1;
};

inline std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

inline void writeFile(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out;
    int status;
    std::string err; // a part of standard error; empty: nothing at all
};

class ModbuscalcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Unique even when several test processes run at once.
        m_dir = fs::temp_directory_path()
            / ("modbuscalc_test_"
                + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + '_'
                + std::to_string(std::random_device()()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string &name, const std::string &text)
    {
        writeFile(m_dir / name, text);
        return m_dir / name;
    }

    // Runs the program with args and input on its standard input; redirect
    // replaces the standard output's redirection (POSIX shells only).
    Result run(const std::vector<std::string> &args, const std::string &input = {},
        const std::string &redirect = {})
    {
        const fs::path in = file("stdin", input), out = m_dir / "stdout", err = m_dir / "stderr";
        std::string command = quote(program());
        for (const std::string &arg : args)
            command += ' ' + quote(arg);
        command += " <" + quote(in.string()) + " 2>" + quote(err.string()) + ' '
            + (redirect.empty() ? ">" + quote(out.string()) : redirect);
        writeFile(out, "");
#ifdef _WIN32
        command = '"' + command + '"'; // cmd /c takes the outer quotes off
#else
        if (!m_workingDirectory.empty())
            command = "cd " + quote(m_workingDirectory.string()) + " && " + command;
#endif
        int raw = std::system(command.c_str());
#ifdef _WIN32
        // Under load, Wine now and then starts no process at all: not the
        // shell (-1), or not the command in it (9009). The program never ran,
        // so it is started again, a few times at most, and the log says why.
        for (int attempt = 1; (raw == -1 || raw == 9009) && attempt <= 3; ++attempt) {
            std::fprintf(
                stderr, "modbuscalc did not start (%d, errno %d): once more\n", raw, errno);
            std::this_thread::sleep_for(std::chrono::milliseconds(100 * attempt));
            raw = std::system(command.c_str());
        }
#endif
        Result result { readFile(out), readFile(err), raw };
#ifdef _WIN32
        // Messages are text, written with the system's line ends.
        for (std::size_t at; (at = result.err.find("\r\n")) != std::string::npos;)
            result.err.erase(at, 1);
#else
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
        return result;
    }

#ifndef _WIN32
    // Runs a shell script from the test's folder.
    Result runScript(const fs::path &script)
    {
        const fs::path err = m_dir / "stderr";
        const std::string command = "cd " + quote(m_dir.string()) + " && sh "
            + quote(script.string()) + " 2>" + quote(err.string());
        const int raw = std::system(command.c_str());
        return { {}, readFile(err), WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw) };
    }
#endif

    static std::string program()
    {
        std::string path = MODBUSCALC_PROGRAM;
#ifdef _WIN32
        // Under Wine the build folder's Unix path is on drive Z:.
        if (!path.empty() && path.front() == '/')
            path = "Z:" + path;
        for (char &c : path)
            c = c == '/' ? '\\' : c;
#endif
        return path;
    }

    static std::string quote(const std::string &arg)
    {
#ifdef _WIN32
        return '"' + arg + '"';
#else
        std::string quoted = "'";
        for (char c : arg)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
#endif
    }

    void expectCases(const std::vector<Case> &cases)
    {
        for (const Case &c : cases) {
            std::string name;
            for (const auto &arg : c.args)
                name += arg + ' ';
            SCOPED_TRACE("modbuscalc " + name + "with input \"" + c.input.substr(0, 60) + "\"");
            const Result r = run(c.args, c.input);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.status, c.status);
            if (c.err.empty())
                EXPECT_EQ(r.err, "");
            else
                EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
    }

    fs::path m_dir;
    fs::path m_workingDirectory; // empty: the test's own
};

} // namespace modbuscalc_test
