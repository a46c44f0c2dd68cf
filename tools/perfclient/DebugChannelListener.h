#pragma once

#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Halyard {
namespace PerfClient {

// Receives the debugger channel ("DBWIN_BUFFER") as a debugger would: every OutputDebugString line of every
// process in the session, with the writer's process id. Only one listener can own the channel at a time;
// the channel's names are fixed, so listeners in different processes exclude each other.
class CDebugChannelListener
{
public:
    struct Line
    {
        DWORD processId;
        std::string text; // as it crossed the channel: narrow, in the ANSI code page

        std::wstring GetWideText() const;
    };

    using Predicate = std::function<bool(const Line &)>;

    // Takes the channel and starts listening. When another listener owns it, retries until
    // acquireTimeoutMs has passed and then throws CException.
    explicit CDebugChannelListener(DWORD acquireTimeoutMs = 0);
    CDebugChannelListener(const CDebugChannelListener &) = delete;
    CDebugChannelListener &operator=(const CDebugChannelListener &) = delete;
    ~CDebugChannelListener();

    // Removes and returns the first received line that matches, waiting for it up to timeoutMs.
    // Lines that do not match stay queued.
    std::optional<Line> WaitForLine(const Predicate &predicate, DWORD timeoutMs);
    std::optional<Line> WaitForLine(const std::wstring &substring, DWORD timeoutMs);
    std::optional<Line> WaitForLine(DWORD processId, const std::wstring &substring, DWORD timeoutMs);

    // Removes and returns every line received so far.
    std::vector<Line> TakeLines();

private:
    void Listen(std::promise<void> started);

    Win32::CSmartHandle m_bufferReady;
    Win32::CSmartHandle m_dataReady;
    Win32::CSmartHandle m_mapping;
    Win32::CMappedView m_view;
    Win32::CSmartHandle m_stop;
    std::mutex m_mutex;
    std::condition_variable m_received;
    std::deque<Line> m_lines;
    std::thread m_thread;
};

} // namespace PerfClient
} // namespace Halyard
