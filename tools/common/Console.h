#pragma once

#include "win32/Event.h"
#include "win32/StringConverter.h"

#include <cstdio>
#include <string>

namespace Halyard {
namespace Tools {

// Output whose bytes a reader or a scraper takes as UTF-8, whatever the console's code page.
const Win32::CCodePage &Utf8();

// Writes the text to the stream in the code page and flushes it, so that what a tool prints and
// what the programs it drives print keep their order.
void Print(FILE *stream, const std::wstring &text, const Win32::CCodePage &codePage = Win32::CCodePage::Ansi());

// Ctrl+C, Ctrl+Break or the console closing, for a tool that runs until it is stopped: the
// handler only sets an event, and the tool's loop looks at it between steps. One at a time.
class CConsoleStop
{
public:
    CConsoleStop();
    ~CConsoleStop();

    CConsoleStop(const CConsoleStop &) = delete;
    CConsoleStop &operator=(const CConsoleStop &) = delete;

    // Waits up to the time for a stop; true once one was asked for.
    bool IsRequested(DWORD waitMs = 0) const;

private:
    Win32::CEvent m_stop;
};

} // namespace Tools
} // namespace Halyard
