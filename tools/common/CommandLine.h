#pragma once

#include "win32/Exception.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace Halyard {
namespace Tools {

// The process's arguments as the platform splits its command line, the program first; empty
// when the line cannot be split.
std::vector<std::wstring> GetCommandLineArguments();

// A command line the tool cannot run: the message names what is wrong, and the tool answers with
// its usage text and its usage exit code. An empty message asks for the usage text alone.
class CUsageError
{
public:
    explicit CUsageError(std::wstring message) : m_message(std::move(message)) {}
    const std::wstring &GetMessage() const { return m_message; }

private:
    std::wstring m_message;
};

// Prints "<program>: <message>" when there is a message, then the usage text, to stderr; returns
// the usage exit code, 1.
int ReportUsageError(const wchar_t *program, const CUsageError &error, const std::wstring &usage);

// Prints "<program>: <message>" to stderr and returns the exit code.
int ReportFailure(const wchar_t *program, const std::wstring &message, int exitCode);
// The same for a failure that nothing in the tool handled: "<program>: <where> - <message>".
int ReportFailure(const wchar_t *program, const Win32::CException &failure, int exitCode);

// A decimal number that is the whole text and lies in [minimum, maximum]; nothing otherwise.
std::optional<double> ParseNumber(const std::wstring &text, double minimum, double maximum);

// A whole number written in decimal digits alone (no sign, point or exponent) that is the whole
// text and lies in [minimum, maximum]; nothing otherwise.
std::optional<unsigned long> ParseWholeNumber(const std::wstring &text, unsigned long minimum, unsigned long maximum);

// The value of "--seconds" at arguments[index]: more than 0 and at most a day. Moves index onto
// the value; throws CUsageError when it is missing or out of range.
double ParseSeconds(const std::vector<std::wstring> &arguments, size_t &index);

} // namespace Tools
} // namespace Halyard
