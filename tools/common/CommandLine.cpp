#include "tools/common/CommandLine.h"

#include "tools/common/Console.h"
#include "win32/LocalMemory.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

namespace Halyard {
namespace Tools {

std::vector<std::wstring> GetCommandLineArguments()
{
    int count = 0;
    const Win32::TLocalMemory<wchar_t *> arguments(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!arguments.IsValid())
    {
        return {};
    }
    return std::vector<std::wstring>(arguments.Get(), arguments.Get() + count);
}

int ReportUsageError(const wchar_t *program, const CUsageError &error, const std::wstring &usage)
{
    if (!error.GetMessage().empty())
    {
        Print(stderr, std::wstring(program) + L": " + error.GetMessage() + L"\n");
    }
    Print(stderr, usage);
    return 1;
}

int ReportFailure(const wchar_t *program, const std::wstring &message, int exitCode)
{
    Print(stderr, std::wstring(program) + L": " + message + L"\n");
    return exitCode;
}

int ReportFailure(const wchar_t *program, const Win32::CException &failure, int exitCode)
{
    return ReportFailure(program, failure.GetWhere() + L" - " + failure.GetMessage(), exitCode);
}

std::optional<double> ParseNumber(const std::wstring &text, double minimum, double maximum)
{
    wchar_t *end = nullptr;
    const double value = std::wcstod(text.c_str(), &end);
    if (end == text.c_str() || *end != L'\0' || !(value >= minimum && value <= maximum))
    {
        return std::nullopt;
    }
    return value;
}

std::optional<unsigned long> ParseWholeNumber(const std::wstring &text, unsigned long minimum, unsigned long maximum)
{
    // Digits alone: wcstoul would take a sign and leading blanks, and wrap "-1" round to a huge count.
    // Too many digits saturate at ULONG_MAX, which lies above any maximum a tool asks for.
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    {
        return std::nullopt;
    }
    const unsigned long value = std::wcstoul(text.c_str(), nullptr, 10);
    if (value < minimum || value > maximum)
    {
        return std::nullopt;
    }
    return value;
}

double ParseSeconds(const std::vector<std::wstring> &arguments, size_t &index)
{
    const std::optional<double> seconds =
        index + 1 < arguments.size() ? ParseNumber(arguments[index + 1], 0, 86400) : std::nullopt;
    if (!seconds || *seconds == 0)
    {
        throw CUsageError(L"--seconds takes a number of seconds from 1 to 86400");
    }
    ++index;
    return *seconds;
}

} // namespace Tools
} // namespace Halyard
