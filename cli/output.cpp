#include "cli/output.h"

#include "cli/console.h"
#include "cli/status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace modbuscalc::cli {

void Output::write(std::string &buffer, bool now)
{
    BeforeOutput(buffer);
    if (!buffer.empty() && m_error < 0
        && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size())
        m_error = errno;
    if (now && m_error < 0 && std::fflush(stdout) != 0)
        m_error = errno;
    buffer.clear();
}

bool Output::ContinuesAFile()
{
    struct stat info { };
    return ::fstat(fileno(stdout), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

int Output::close(int status)
{
    ShowProgress(std::string());
    // A full disk or a closed output must not pass for success.
    errno = 0;
    if (m_error < 0 && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        m_error = errno;
    if (m_error >= 0) {
        const int error = m_error;
        Report(
            std::string("write error") + (error ? std::string(": ") + std::strerror(error) : ""));
        return ExitTrouble;
    }
    return status;
}

} // namespace modbuscalc::cli
