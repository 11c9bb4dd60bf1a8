// Each list of names the command line takes is written once, in its table;
// the manual page and bash completion, written by hand, must offer exactly
// those names for each option.

#include "cli/names.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace modbuscalc::cli {
namespace {

std::string readSource(const std::string &path)
{
    std::ifstream in(std::string(MODBUSCALC_SOURCE_DIR) + '/' + path);
    EXPECT_TRUE(in) << path;
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

template <typename Value, std::size_t N>
std::set<std::string> listed(const std::array<Name<Value>, N> &names)
{
    std::set<std::string> set;
    for (const auto &row : names)
        if (!row.help.empty())
            set.emplace(row.name);
    return set;
}

// The words completion offers after the option: its `compgen -W '...'`.
std::set<std::string> completed(const std::string &script, const std::string &option)
{
    const std::size_t at = script.find(option + ")");
    EXPECT_NE(at, std::string::npos) << option;
    std::smatch match;
    const std::string rest = script.substr(at);
    std::set<std::string> words;
    if (std::regex_search(rest, match, std::regex("compgen -W '([^']*)'"))) {
        const std::string list = match[1];
        std::istringstream in(list);
        for (std::string word; in >> word;)
            words.insert(word);
    }
    return words;
}

// The bold words of the manual page's paragraph on the option, from its
// line up to the next paragraph: ".B hex", ".BR ref ;", ".BR N \", \" E". The
// paragraph headed by the option, else the first that names it.
std::set<std::string> inManual(const std::string &page, const std::string &option)
{
    std::string escaped;
    for (char c : option)
        escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    std::size_t at = std::string::npos;
    for (std::size_t tp = page.find("\n.TP\n"); tp != std::string::npos && at == std::string::npos;
         tp = page.find("\n.TP\n", tp + 1)) {
        const std::size_t heading = tp + 5;
        const std::string line = page.substr(heading, page.find('\n', heading) - heading);
        if (line.find(escaped + ' ') != std::string::npos || line.ends_with(escaped))
            at = heading;
    }
    if (at == std::string::npos)
        at = page.find(escaped);
    EXPECT_NE(at, std::string::npos) << option;
    const std::size_t end = page.find("\n.TP", at);
    std::istringstream in(page.substr(at, end - at));
    std::set<std::string> words;
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(".B ") && !line.starts_with(".BR "))
            continue;
        // Bold words alternate with quoted roman text after .BR.
        const std::regex word(R"((?:^|\s)([A-Za-z0-9\\-]+)(?=\s|$))");
        const std::string body = line.substr(line.find(' ') + 1);
        std::string outsideQuotes;
        bool quoted = false;
        for (char c : body) {
            if (c == '"')
                quoted = !quoted;
            else
                outsideQuotes += quoted ? ' ' : c;
        }
        for (auto it = std::sregex_iterator(outsideQuotes.begin(), outsideQuotes.end(), word);
             it != std::sregex_iterator(); ++it) {
            std::string name = (*it)[1];
            for (std::size_t dash; (dash = name.find("\\-")) != std::string::npos;)
                name.erase(dash, 1);
            words.insert(name);
        }
    }
    return words;
}

TEST(Names, ManualAndCompletionOfferEachTableWhole)
{
    const std::string page = readSource("packaging/man/modbuscalc.1");
    const std::string completion = readSource("packaging/completion/modbuscalc");
    struct Case {
        std::string option;
        std::set<std::string> names;
    };
    const Case cases[] = {
        { "--notation", listed(NotationNames) },
        { "--type", listed(RegisterTypeNames) },
        { "--format", listed(ValueFormatNames) },
        { "--word-order", listed(WordOrderNames) },
        { "--parity", listed(ParityNames) },
        { "--output", listed(OutputFormatNames) },
        { "--to", listed(ExportTargetNames) },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option);
        EXPECT_EQ(completed(completion, c.option), c.names);
        const std::set<std::string> manual = inManual(page, c.option);
        for (const std::string &name : c.names)
            EXPECT_TRUE(manual.contains(name)) << name << " is not in the manual's " << c.option;
    }
}

TEST(Names, ListsReadAsASentence)
{
    EXPECT_EQ(NameList(NotationNames), "address, hex or ref"); // "reference" is another spelling
    EXPECT_EQ(NameList(WordOrderNames), "high-first, low-first, ABCD, CDAB, BADC or DCBA");
    EXPECT_EQ(NameList(ParityNames, true), "N, E (default) or O"); // as --help shows it
    EXPECT_EQ(FindName(NotationNames, "reference"), Notation::Reference);
    EXPECT_EQ(FindName(RegisterTypeNames, "holdings"), std::nullopt);
}

TEST(Names, InAnyCaseAndTheIecTypes)
{
    struct Case {
        const char *name;
        ValueFormat format;
    };
    const Case cases[] = { { "u16", ValueFormat::U16 }, { "UINT", ValueFormat::U16 },
        { "Int", ValueFormat::S16 }, { "s16", ValueFormat::S16 }, { "word", ValueFormat::Hex },
        { "HEX", ValueFormat::Hex }, { "UDINT", ValueFormat::U32 }, { "U32", ValueFormat::U32 },
        { "dint", ValueFormat::S32 }, { "S32", ValueFormat::S32 }, { "REAL", ValueFormat::F32 },
        { "f32", ValueFormat::F32 }, { "float", ValueFormat::F32 }, { "DWORD", ValueFormat::U32 },
        { "LREAL", ValueFormat::F64 }, { "ulint", ValueFormat::U64 }, { "LINT", ValueFormat::S64 },
        { "bool", ValueFormat::Bit }, { "Bit", ValueFormat::Bit } };
    for (const Case &c : cases)
        EXPECT_EQ(FindName(ValueFormatNames, c.name), c.format) << c.name;
    for (const char *unknown : { "BCD", "", "u 16", "BOOLEAN" })
        EXPECT_EQ(FindName(ValueFormatNames, unknown), std::nullopt) << unknown;
    EXPECT_EQ(FindName(ParityNames, "n"), Parity::None);
    EXPECT_EQ(FindName(WordOrderNames, "Low-First"), WordOrder::CDAB);
    EXPECT_EQ(FindName(WordOrderNames, "dcba"), WordOrder::DCBA);
    EXPECT_EQ(FindName(RegisterTypeNames, "COIL"), RegisterType::Coil);
}

} // namespace
} // namespace modbuscalc::cli
