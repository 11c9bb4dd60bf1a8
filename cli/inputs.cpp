#include "cli/inputs.h"

#include "cli/console.h"
#include "cli/status.h"
#include "maps/encoding.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace modbuscalc::cli {

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// One input, opened when its turn comes; nullptr (told) when it cannot be.
std::FILE *openInput(const std::string &file, std::unique_ptr<std::FILE, FileCloser> &owned)
{
    if (file == "-")
        return stdin;
    struct stat info { };
    if (::stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        Report(FileName(file) + ": " + std::strerror(EISDIR));
        return nullptr;
    }
    owned.reset(std::fopen(file.c_str(), "rb"));
    if (!owned)
        Report(FileName(file) + ": " + std::strerror(errno));
    return owned.get();
}

// An input's bytes. A signal ends a read that waits: that is the end when
// it asks to stop, and is read past when it does not.
maps::TextSource sourceOf(std::FILE *in, const std::function<bool()> &stopped)
{
    return maps::TextSource([in, &stopped](char *buffer, std::size_t size) {
        for (;;) {
            const std::size_t got = std::fread(buffer, 1, size, in);
            if (got > 0 || !std::ferror(in) || errno != EINTR || stopped())
                return got;
            std::clearerr(in);
        }
    });
}

} // namespace

int ConvertInput(BatchConverter &batch, const std::string &file, const Options &options,
    std::string &out, const std::function<void(std::string &)> &flush,
    const std::function<bool()> &stopped)
{
    std::unique_ptr<std::FILE, FileCloser> owned;
    std::FILE *in = openInput(file, owned);
    if (!in)
        return ExitTrouble;
    int status = ExitOk;
    maps::LineReader reader(sourceOf(in, stopped));
    if (!batch.convertAll(reader, OneColumnSeparator(options, file), out, flush))
        status = ExitTrouble;
    flush(out);
    if (std::ferror(in) && !stopped()) {
        Report(FileName(file) + ": read error");
        status = ExitTrouble;
    }
    if (owned && std::fclose(owned.release()) != 0) {
        Report(FileName(file) + ": " + std::strerror(errno));
        status = ExitTrouble;
    }
    return status;
}

int ReadWhole(const std::string &file, std::string &text, const std::function<bool()> &stopped)
{
    std::unique_ptr<std::FILE, FileCloser> owned;
    std::FILE *in = openInput(file, owned);
    if (!in)
        return ExitTrouble;
    maps::TextSource source = sourceOf(in, stopped);
    char buffer[64 * 1024];
    while (const std::size_t got = source(buffer, sizeof buffer))
        text.append(buffer, got);
    if (std::ferror(in) && !stopped()) {
        Report(FileName(file) + ": read error");
        return ExitTrouble;
    }
    return ExitOk;
}

} // namespace modbuscalc::cli
