#include "tools/perfclient/DebugChannelListener.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <chrono>
#include <cstring>

using Halyard::Win32::CException;
using Halyard::Win32::CMappedView;
using Halyard::Win32::CSmartHandle;
using Halyard::Win32::CWin32Exception;
using Halyard::Win32::ThrowLastErrorIf;
using Halyard::Win32::ToString;

namespace Halyard {
namespace PerfClient {

namespace {

const wchar_t kWhere[] = L"CDebugChannelListener::CDebugChannelListener()";
const DWORD kBufferSize = 4096;
const DWORD kRetryIntervalMs = 50;

// The channel's objects as a listener creates them. Returns nothing when one of them already exists:
// another listener owns the channel (or a writer is just using it), and two owners would steal each other's lines.
struct Channel
{
    CSmartHandle bufferReady;
    CSmartHandle dataReady;
    CSmartHandle mapping;
};

CSmartHandle CreateOwned(HANDLE handle, const wchar_t *call, bool &existed)
{
    const DWORD error = ::GetLastError();
    CSmartHandle owned(handle);
    if (!owned.IsValid())
    {
        throw CWin32Exception(std::wstring(kWhere) + L" - " + call, error);
    }
    existed = existed || error == ERROR_ALREADY_EXISTS;
    return owned;
}

std::optional<Channel> TryCreateChannel()
{
    bool existed = false;
    Channel channel;
    channel.bufferReady = CreateOwned(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"), L"CreateEventW", existed);
    channel.dataReady = CreateOwned(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"), L"CreateEventW", existed);
    channel.mapping = CreateOwned(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                                       L"DBWIN_BUFFER"),
                                  L"CreateFileMappingW", existed);
    if (existed)
    {
        return std::nullopt;
    }
    return channel;
}

} // namespace

std::wstring CDebugChannelListener::Line::GetWideText() const
{
    if (text.empty())
    {
        return std::wstring();
    }
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

CDebugChannelListener::CDebugChannelListener(DWORD acquireTimeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + acquireTimeoutMs;
    std::optional<Channel> channel = TryCreateChannel();
    while (!channel && ::GetTickCount64() < deadline)
    {
        ::Sleep(kRetryIntervalMs);
        channel = TryCreateChannel();
    }
    if (!channel)
    {
        throw CException(kWhere, L"Error: the debugger channel \"DBWIN_BUFFER\" is owned by another listener (waited " +
                                     ToString(static_cast<unsigned long>(acquireTimeoutMs)) + L" ms)");
    }
    m_bufferReady = std::move(channel->bufferReady);
    m_dataReady = std::move(channel->dataReady);
    m_mapping = std::move(channel->mapping);
    m_view = CMappedView(::MapViewOfFile(m_mapping.GetHandle(), FILE_MAP_READ, 0, 0, kBufferSize));
    ThrowLastErrorIf(!m_view.IsValid(), L"CDebugChannelListener::CDebugChannelListener() - MapViewOfFile");
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ThrowLastErrorIf(!m_stop.IsValid(), L"CDebugChannelListener::CDebugChannelListener() - CreateEventW");
    // A writer waits for the listener's "buffer ready" at most 10 s and then drops its line. The
    // thread must be running before the constructor returns: one that is still starting when the
    // caller loads a module cannot run until the loader lock is released, and every line written
    // from that module's entry point would be lost.
    std::promise<void> started;
    std::future<void> running = started.get_future();
    m_thread = std::thread(&CDebugChannelListener::Listen, this, std::move(started));
    running.wait();
}

CDebugChannelListener::~CDebugChannelListener()
{
    const Win32::CLastErrorKeeper keeper;
    ::SetEvent(m_stop.GetHandle());
    m_thread.join();
}

void CDebugChannelListener::Listen(std::promise<void> started)
{
    started.set_value();
    const HANDLE waits[] = {m_stop.GetHandle(), m_dataReady.GetHandle()};
    const BYTE *buffer = static_cast<const BYTE *>(m_view.Get());
    for (;;)
    {
        ::SetEvent(m_bufferReady.GetHandle());
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        {
            return;
        }
        Line line;
        std::memcpy(&line.processId, buffer, sizeof(DWORD));
        // A writer may leave the text unterminated; never read past the mapping.
        const char *text = reinterpret_cast<const char *>(buffer + sizeof(DWORD));
        const void *end = std::memchr(text, 0, kBufferSize - sizeof(DWORD));
        line.text.assign(text, end ? static_cast<const char *>(end) : text + kBufferSize - sizeof(DWORD));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(std::move(line));
        }
        m_received.notify_all();
    }
}

std::optional<CDebugChannelListener::Line> CDebugChannelListener::WaitForLine(const Predicate &predicate,
                                                                               DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t examined = 0;
    for (;;)
    {
        for (; examined < m_lines.size(); ++examined)
        {
            if (predicate(m_lines[examined]))
            {
                Line line = std::move(m_lines[examined]);
                m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(examined));
                return line;
            }
        }
        if (m_received.wait_until(lock, deadline) == std::cv_status::timeout && examined == m_lines.size())
        {
            return std::nullopt;
        }
    }
}

std::optional<CDebugChannelListener::Line> CDebugChannelListener::WaitForLine(const std::wstring &substring,
                                                                               DWORD timeoutMs)
{
    return WaitForLine([&](const Line &line) { return line.GetWideText().find(substring) != std::wstring::npos; },
                       timeoutMs);
}

std::optional<CDebugChannelListener::Line> CDebugChannelListener::WaitForLine(DWORD processId,
                                                                               const std::wstring &substring,
                                                                               DWORD timeoutMs)
{
    return WaitForLine(
        [&](const Line &line) {
            return line.processId == processId && line.GetWideText().find(substring) != std::wstring::npos;
        },
        timeoutMs);
}

std::vector<CDebugChannelListener::Line> CDebugChannelListener::TakeLines()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Line> lines(std::make_move_iterator(m_lines.begin()), std::make_move_iterator(m_lines.end()));
    m_lines.clear();
    return lines;
}

} // namespace PerfClient
} // namespace Halyard
