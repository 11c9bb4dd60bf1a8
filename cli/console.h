#pragma once

// Standard error: messages, "modbuscalc: MESSAGE", and on a terminal one
// line of progress now and then, drawn only where standard output on the
// same screen ends with a whole line, and cleared before anything else.

#include "cli/options.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace modbuscalc::cli {

// "modbuscalc: MESSAGE" on standard error, the progress line cleared first.
void Report(const std::string &message);

// "modbuscalc: NAME:LINE: MESSAGE" about a line of an input; line 0:
// about the whole input.
void ReportAt(const std::string &name, std::size_t line, std::string_view message);

// The progress line: text, at most ten times a second; empty: cleared.
void ShowProgress(const std::string &text);
// The same, the text made only when it is drawn.
void ShowProgress(const std::function<std::string()> &text);

// Before standard output writes text: the progress line goes first where
// both share a screen.
void BeforeOutput(std::string_view text);

// A file's name in a message: "<stdin>" for "-", control bytes escaped.
std::string FileName(const std::string &file);

// "modbuscalc: MESSAGE" and the hint to --help, on standard error; the
// exit status.
int ReportUsageError(const UsageError &error);

} // namespace modbuscalc::cli
