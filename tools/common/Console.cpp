#include "tools/common/Console.h"

#include <windows.h>

namespace Halyard {
namespace Tools {

namespace {

// The console calls the handler on a thread of its own, with nothing but the event type.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    ::SetEvent(g_stop);
    return TRUE;
}

} // namespace

const Win32::CCodePage &Utf8()
{
    static const Win32::CCodePage utf8(CP_UTF8);
    return utf8;
}

void Print(FILE *stream, const std::wstring &text, const Win32::CCodePage &codePage)
{
    const std::string bytes = Win32::CStringConverter::WtoA(text, codePage);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

CConsoleStop::CConsoleStop() : m_stop(nullptr, Win32::CEvent::ManualReset, Win32::CEvent::NotSignalled)
{
    g_stop = m_stop.GetWaitHandle();
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CConsoleStop::~CConsoleStop()
{
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_stop = nullptr;
}

bool CConsoleStop::IsRequested(DWORD waitMs) const
{
    return m_stop.Wait(waitMs);
}

} // namespace Tools
} // namespace Halyard
