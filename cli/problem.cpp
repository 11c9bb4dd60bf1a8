#include "cli/problem.h"

#include "cli/names.h"
#include "cli/printable.h"

#include <utility>

namespace modbuscalc::cli {

Problem InputProblem(Problem::Kind kind, std::size_t input, std::string text)
{
    Problem problem(kind);
    problem.input = input;
    problem.text = std::move(text);
    return problem;
}

Problem SubjectProblem(Problem::Kind kind, std::string subject)
{
    Problem problem(kind);
    problem.subject = std::move(subject);
    return problem;
}

Problem ValueProblem(std::string value, std::string shouldBe, std::size_t which)
{
    Problem problem(Problem::Kind::BadValue);
    problem.text = std::move(value);
    problem.subject = std::move(shouldBe);
    problem.expected = which;
    return problem;
}

std::string Describe(const Problem &problem)
{
    using Kind = Problem::Kind;
    // One input: by its field on a map's line, else by its text.
    const std::string field = "field " + std::to_string(problem.field);
    const std::string input = problem.field > 0 ? field + " ('" + Printable(problem.text) + "')"
                                                : '\'' + Printable(problem.text) + '\'';
    switch (problem.kind) {
    case Kind::Empty:
        return (problem.field > 0 ? field : input) + " is empty";
    case Kind::NotANumber:
        return input + " is not a number";
    case Kind::NotAWholeNumber:
        return input + " is not a whole number";
    case Kind::NotAHexNumber:
        return input + " is not a hex number";
    case Kind::NotAReference:
        return input + " is not a reference";
    case Kind::OutOfRange:
        return problem.subject + " is out of range";
    case Kind::NoWholeAddress:
        return problem.subject + " has no whole register address";
    case Kind::ReadsPastTheEnd:
        return problem.subject + ": the read runs past the last cell";
    case Kind::BitsHaveNoWideFormat:
        return problem.subject + ": coils and discrete inputs are single bits: no wider format";
    case Kind::RegistersHaveNoBitFormat:
        return problem.subject + ": BOOL is the format of coils and discrete inputs";
    case Kind::UnknownFormat:
        return (problem.field > 0 ? field + ": " : std::string())
            + (problem.text.empty() ? std::string("no format")
                                    : "unknown format '" + Printable(problem.text)
                        + "'; formats: " + NameList(ValueFormatNames));
    case Kind::NoDevice:
        return "no device to read from";
    case Kind::ReadFailed:
        return problem.subject + ": " + Printable(problem.device.text, std::string::npos);
    case Kind::NotRead:
        return problem.subject + ": not read, by a fault of modbuscalc's (please report it)";
    case Kind::ReadOnly:
        return problem.subject + ": " + problem.text + " are read-only";
    case Kind::BadValue:
        if (problem.text.empty())
            return (problem.field > 0 ? field + ": " : std::string()) + "no value";
        return input + " is not " + problem.subject;
    case Kind::WritesPastTheEnd:
        return problem.subject + ": the values run past the last cell";
    case Kind::WriteFailed: {
        std::string text
            = problem.subject + ": " + Printable(problem.device.text, std::string::npos);
        if (problem.device.maybeDone)
            text += "; the write may or may not have taken effect";
        return text;
    }
    case Kind::NotSent:
        return problem.subject + ": not sent";
    case Kind::WrittenTwice:
        return problem.subject + ": line " + std::to_string(problem.found)
            + " writes the same register (" + problem.text + ')';
    case Kind::ReadBackDiffers:
        return problem.subject + ": wrote " + Printable(problem.text) + ", read back "
            + Printable(problem.other);
    case Kind::NotReadBack:
        return problem.subject
            + ": written, but not read back: " + Printable(problem.device.text, std::string::npos);
    case Kind::FieldCount:
        return "expected " + std::to_string(problem.expected)
            + (problem.expectedOther ? " or " + std::to_string(problem.expectedOther) : "")
            + (problem.expected == 1 ? " field" : " fields") + ", found "
            + std::to_string(problem.found)
            + (problem.found > problem.expected ? "; choose the columns with -f" : "");
    case Kind::NoSuchField:
        return "no field " + std::to_string(problem.field) + " (the line has "
            + std::to_string(problem.found) + ')';
    case Kind::UnclosedQuote:
        return "a quoted field has no closing quote";
    case Kind::LineTooLong:
        return "line longer than " + std::to_string(problem.expected) + " bytes, skipped";
    case Kind::BadDevice:
        if (problem.text.empty())
            return (problem.field > 0 ? field + " is empty: " : std::string()) + problem.subject;
        return input + " is not " + problem.subject;
    case Kind::NoSuchColumn:
        return "no column '" + Printable(problem.text) + "' in the header";
    }
    return {};
}

} // namespace modbuscalc::cli
