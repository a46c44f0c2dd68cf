#include "win32/Exception.h"

#include "win32/ToString.h"

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kMessageBufferSize = 511;

template <typename String>
void StripLineEnd(String &text)
{
    if (!text.empty() && text.back() == '\n')
    {
        text.pop_back();
        if (!text.empty() && text.back() == '\r')
        {
            text.pop_back();
        }
    }
}

std::wstring FormatMessageText(DWORD flags, HMODULE module, DWORD error, bool strip)
{
    wchar_t buffer[kMessageBufferSize];
    const DWORD length = ::FormatMessageW(flags, module, error, 0, buffer, kMessageBufferSize, nullptr);
    if (length == 0)
    {
        const DWORD lastError = ::GetLastError();
        if (lastError == error)
        {
            return L"Failed to obtain error string: " + ToStringW(static_cast<unsigned long>(error));
        }
        return GetLastErrorMessage(lastError, strip);
    }
    std::wstring text(buffer, length);
    if (strip)
    {
        StripLineEnd(text);
    }
    return text;
}

} // namespace

CException::CException(const std::wstring &where, const std::wstring &message)
    : m_where(where), m_message(message)
{
}

CException::~CException() = default;

std::wstring CException::GetWhere() const
{
    return m_where;
}

std::wstring CException::GetMessage() const
{
    return m_message;
}

std::wstring CException::GetCallStack() const
{
    return L"Callstack collection not enabled";
}

CWin32Exception::CWin32Exception(const std::wstring &where, DWORD error)
    : CException(where, GetLastErrorMessage(error, true)), m_error(error)
{
}

CWin32Exception::CWin32Exception(const std::wstring &where, const std::wstring &message)
    : CException(where, message), m_error(0)
{
}

CWin32Exception::CWin32Exception(const std::wstring &where, const std::wstring &message, DWORD error)
    : CException(where, message + L" - " + GetLastErrorMessage(error, true)), m_error(error)
{
}

CWin32Exception::~CWin32Exception() = default;

DWORD CWin32Exception::GetError() const
{
    return m_error;
}

std::wstring GetLastErrorMessage(DWORD error, bool stripTrailingLineFeed)
{
    return FormatMessageText(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                             stripTrailingLineFeed);
}

std::wstring GetLastErrorMessage(DWORD error, HMODULE module, bool stripTrailingLineFeed)
{
    return FormatMessageText(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_HMODULE,
                             module, error, stripTrailingLineFeed);
}

std::string GetLastErrorMessageA(DWORD error, bool stripTrailingLineFeed)
{
    char buffer[kMessageBufferSize];
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                          0, buffer, kMessageBufferSize, nullptr);
    if (length == 0)
    {
        const DWORD lastError = ::GetLastError();
        if (lastError == error)
        {
            return "Failed to obtain error string: " + ToStringA(static_cast<unsigned long>(error));
        }
        return GetLastErrorMessageA(lastError, stripTrailingLineFeed);
    }
    std::string text(buffer, length);
    if (stripTrailingLineFeed)
    {
        StripLineEnd(text);
    }
    return text;
}

} // namespace Win32
} // namespace Halyard
