#include "win32/MessageLog.h"

#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace Halyard {
namespace Win32 {

namespace {

const char kNewLogHeader[] = "****************New Log*****************\r\n";

// The log behind the debug trace, built when the module starts so that its first user, which may
// be a thread that has just faulted, finds it ready. It writes to the debugger and, once its user
// names one, to a file: never to the host's standard output, nor to a file in the host's current
// folder.
CSimpleMessageLog &ProcessMessageLog()
{
    static CSimpleMessageLog log(L"", CSimpleMessageLog::Debugger | CSimpleMessageLog::File, 1);
    return log;
}

CSimpleMessageLog &g_processMessageLogAtStart = ProcessMessageLog();

} // namespace

CSimpleMessageLog::CSimpleMessageLog()
    : m_fileName("Halyard.log"),
      m_toStandardOutput(true),
      m_toDebugger(true),
      m_toFile(true),
      m_toMemory(false),
      m_prefixMode(1)
{
}

CSimpleMessageLog::CSimpleMessageLog(const std::wstring &fileName, DWORD targets, DWORD prefixMode)
    : m_fileName(CStringConverter::WtoA(fileName)),
      m_toStandardOutput((targets & StandardOutput) != 0),
      m_toDebugger((targets & Debugger) != 0),
      m_toFile((targets & File) != 0),
      m_toMemory((targets & Memory) != 0),
      m_prefixMode(prefixMode)
{
}

void CSimpleMessageLog::SetThreadIdentifier(const std::wstring &identifier)
{
    SetThreadIdentifier(CStringConverter::WtoA(identifier));
}

void CSimpleMessageLog::SetThreadIdentifier(const std::string &identifier)
{
    ICriticalSection::Owner owner(m_lock);
    m_prefixes.push_back(identifier + ": ");
    m_threadPrefix.SetValue(&m_prefixes.back());
}

void CSimpleMessageLog::SetLogName(const std::wstring &name)
{
    SetLogName(CStringConverter::WtoA(name));
}

void CSimpleMessageLog::SetLogName(const std::string &name)
{
    ICriticalSection::Owner owner(m_lock);
    if (!name.empty())
    {
        m_fileName = name;
    }
    m_file.Close();
}

void CSimpleMessageLog::LogMessage(const wchar_t *message, size_t length)
{
    LogMessage(CStringConverter::WtoA(message, length));
}

void CSimpleMessageLog::LogMessage(const char *message, size_t length)
{
    LogMessage(std::string(message, length));
}

void CSimpleMessageLog::LogMessage(const wchar_t *message)
{
    LogMessage(CStringConverter::WtoA(message, std::wcslen(message)));
}

void CSimpleMessageLog::LogMessage(const char *message)
{
    LogMessage(std::string(message));
}

void CSimpleMessageLog::LogMessage(const std::wstring &message)
{
    LogMessage(CStringConverter::WtoA(message));
}

void CSimpleMessageLog::LogMessage(const std::string &message)
{
    if (!m_toStandardOutput && !m_toDebugger && !m_toFile && !m_toMemory)
    {
        return;
    }
    ICriticalSection::Owner owner(m_lock);
    const std::string &prefix = ThreadPrefix();
    const std::string &linePrefix = m_prefixMode == 1 ? prefix : std::string();
    if (m_toStandardOutput)
    {
        const std::string line = linePrefix + message + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    if (m_toDebugger)
    {
        ::OutputDebugStringA((prefix + message + "\n").c_str());
    }
    // Without a name there is no file to write.
    if (m_toFile && !m_fileName.empty())
    {
        if (!m_file.IsValid())
        {
            OpenLogFile();
            AppendToFile(kNewLogHeader);
        }
        AppendToFile(linePrefix + message + "\r\n");
    }
    if (m_toMemory)
    {
        m_memoryLog.push_back(linePrefix + message);
    }
}

// Never through a reparse point: the log may lie in a folder that a privileged process writes, and
// a link there would let its owner choose the file appended to. Wine opens a Unix link's target even
// when asked not to, so the name's own attributes are checked as well.
void CSimpleMessageLog::OpenLogFile()
{
    CSmartHandle file(::CreateFileA(m_fileName.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    const DWORD byName = ::GetFileAttributesA(m_fileName.c_str());
    if (file.IsValid() && ::GetFileInformationByHandle(file.GetHandle(), &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && byName != INVALID_FILE_ATTRIBUTES &&
        (byName & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    {
        m_file = std::move(file);
    }
}

// A log that cannot be written is not worth a failure of the operation that logs.
void CSimpleMessageLog::AppendToFile(const std::string &text)
{
    DWORD written = 0;
    if (m_file.IsValid())
    {
        ::WriteFile(m_file.GetHandle(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

std::wstring CSimpleMessageLog::GetMemoryLog()
{
    if (!m_toMemory)
    {
        return L"Memory backed message log not enabled";
    }
    ICriticalSection::Owner owner(m_lock);
    std::wstring log;
    for (const std::string &message : m_memoryLog)
    {
        log += CStringConverter::AtoW(message) + L"\n";
    }
    return log;
}

const std::string &CSimpleMessageLog::ThreadPrefix()
{
    if (const void *prefix = m_threadPrefix.GetValue())
    {
        return *static_cast<const std::string *>(prefix);
    }
    SetThreadIdentifier(ToStringA(static_cast<unsigned long>(::GetCurrentThreadId())));
    return *static_cast<const std::string *>(m_threadPrefix.GetValue());
}

CNullMessageLog &CNullMessageLog::Instance()
{
    static CNullMessageLog log;
    return log;
}

void CNullMessageLog::SetThreadIdentifier(const std::wstring &)
{
}

void CNullMessageLog::SetThreadIdentifier(const std::string &)
{
}

void CNullMessageLog::SetLogName(const std::wstring &)
{
}

void CNullMessageLog::SetLogName(const std::string &)
{
}

void CNullMessageLog::LogMessage(const wchar_t *, size_t)
{
}

void CNullMessageLog::LogMessage(const char *, size_t)
{
}

void CNullMessageLog::LogMessage(const wchar_t *)
{
}

void CNullMessageLog::LogMessage(const char *)
{
}

void CNullMessageLog::LogMessage(const std::wstring &)
{
}

void CNullMessageLog::LogMessage(const std::string &)
{
}

CMessageLog::CMessageLog() : m_log(&CNullMessageLog::Instance())
{
}

CMessageLog::CMessageLog(ILogMessages &log) : m_log(&log)
{
}

ILogMessages *CMessageLog::SetLog(ILogMessages *log)
{
    ILogMessages *previous = m_log;
    m_log = log;
    return previous;
}

void CMessageLog::SetThreadIdentifier(const std::wstring &identifier)
{
    m_log->SetThreadIdentifier(identifier);
}

void CMessageLog::SetThreadIdentifier(const std::string &identifier)
{
    m_log->SetThreadIdentifier(identifier);
}

void CMessageLog::SetLogName(const std::wstring &name)
{
    m_log->SetLogName(name);
}

void CMessageLog::SetLogName(const std::string &name)
{
    m_log->SetLogName(name);
}

void CMessageLog::LogMessage(const wchar_t *message, size_t length)
{
    m_log->LogMessage(message, length);
}

void CMessageLog::LogMessage(const char *message, size_t length)
{
    m_log->LogMessage(message, length);
}

void CMessageLog::LogMessage(const wchar_t *message)
{
    m_log->LogMessage(message);
}

void CMessageLog::LogMessage(const char *message)
{
    m_log->LogMessage(message);
}

void CMessageLog::LogMessage(const std::wstring &message)
{
    m_log->LogMessage(message);
}

void CMessageLog::LogMessage(const std::string &message)
{
    m_log->LogMessage(message);
}

CDebugTrace::CDebugTrace() : CMessageLog(ProcessMessageLog())
{
}

CDebugTrace &CDebugTrace::Instance()
{
    static CDebugTrace trace;
    return trace;
}

} // namespace Win32
} // namespace Halyard
