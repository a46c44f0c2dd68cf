#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// A broken rule: where it happened (class and operation) and why.
class CException
{
public:
    CException(const std::wstring &where, const std::wstring &message);
    CException(const CException &rhs) = default;
    CException &operator=(const CException &rhs) = default;

    virtual ~CException();

    virtual std::wstring GetWhere() const;
    virtual std::wstring GetMessage() const;
    virtual std::wstring GetCallStack() const;

protected:
    std::wstring m_where;
    std::wstring m_message;
};

// A failing platform call: the message is the system's text for the error.
class CWin32Exception : public CException
{
public:
    CWin32Exception(const std::wstring &where, DWORD error);
    CWin32Exception(const std::wstring &where, const std::wstring &message);
    CWin32Exception(const std::wstring &where, const std::wstring &message, DWORD error);
    CWin32Exception(const CWin32Exception &rhs) = default;
    CWin32Exception &operator=(const CWin32Exception &rhs) = default;

    ~CWin32Exception() override;

    DWORD GetError() const;

protected:
    DWORD m_error;
};

// A platform call and its check on one line: throws CWin32Exception(where, last error) when the
// call failed. The where-text is a literal, so nothing runs between the call and reading its error.
inline void ThrowLastErrorIf(bool failed, const wchar_t *where)
{
    if (failed)
    {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(where, error);
    }
}

// Keeps the thread's last-error value across a scope: a handle closed or a view unmapped on the way
// out must not overwrite the error that an exception being reported is about to read.
class CLastErrorKeeper
{
public:
    CLastErrorKeeper() : m_error(::GetLastError()) {}
    ~CLastErrorKeeper() { ::SetLastError(m_error); }
    CLastErrorKeeper(const CLastErrorKeeper &) = delete;
    CLastErrorKeeper &operator=(const CLastErrorKeeper &) = delete;

private:
    const DWORD m_error;
};

// The system's text for a Win32 error code; with stripTrailingLineFeed the final "\r\n" goes.
std::wstring GetLastErrorMessage(DWORD error, bool stripTrailingLineFeed = false);

// As above, looking in the module's message table as well as the system's.
std::wstring GetLastErrorMessage(DWORD error, HMODULE module, bool stripTrailingLineFeed = false);

// As above, as narrow text.
std::string GetLastErrorMessageA(DWORD error, bool stripTrailingLineFeed = false);

} // namespace Win32
} // namespace Halyard
