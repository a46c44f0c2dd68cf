#pragma once

#include "win32/CriticalSection.h"
#include "win32/SmartHandle.h"
#include "win32/ThreadLocalStorage.h"

#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>

namespace Halyard {
namespace Win32 {

// Where diagnostic lines go. Lines are narrow text; wide arguments are converted first.
class ILogMessages
{
public:
    virtual void SetThreadIdentifier(const std::wstring &identifier) = 0;
    virtual void SetThreadIdentifier(const std::string &identifier) = 0;
    virtual void SetLogName(const std::wstring &name) = 0;
    virtual void SetLogName(const std::string &name) = 0;
    virtual void LogMessage(const wchar_t *message, size_t length) = 0;
    virtual void LogMessage(const char *message, size_t length) = 0;
    virtual void LogMessage(const wchar_t *message) = 0;
    virtual void LogMessage(const char *message) = 0;
    virtual void LogMessage(const std::wstring &message) = 0;
    virtual void LogMessage(const std::string &message) = 0;

protected:
    // Logs are never owned through this interface.
    ~ILogMessages() = default;
};

// Writes each message as one line to any of: standard output, the debugger channel, a log file
// opened on the first message for it, and a list in memory. Every line starts with the writing
// thread's prefix (its identifier, or its thread id, and ": "); with prefix mode 0 only the
// debugger line keeps it.
class CSimpleMessageLog : public ILogMessages
{
public:
    enum Target : DWORD
    {
        StandardOutput = 0x1,
        Debugger = 0x10,
        File = 0x100,
        Memory = 0x1000
    };

    // "Halyard.log"; standard output, debugger and file; prefix mode 1.
    CSimpleMessageLog();
    // With an empty file name the file target writes nothing until SetLogName names a file.
    CSimpleMessageLog(const std::wstring &fileName, DWORD targets, DWORD prefixMode);
    ~CSimpleMessageLog() = default;

    CSimpleMessageLog(const CSimpleMessageLog &) = delete;
    CSimpleMessageLog &operator=(const CSimpleMessageLog &) = delete;

    void SetThreadIdentifier(const std::wstring &identifier) override;
    void SetThreadIdentifier(const std::string &identifier) override;
    // A non-empty name replaces the file name; either way an open file is closed, so the next
    // message opens the file under the current name and starts it with a new header.
    void SetLogName(const std::wstring &name) override;
    void SetLogName(const std::string &name) override;
    void LogMessage(const wchar_t *message, size_t length) override;
    void LogMessage(const char *message, size_t length) override;
    void LogMessage(const wchar_t *message) override;
    void LogMessage(const char *message) override;
    void LogMessage(const std::wstring &message) override;
    void LogMessage(const std::string &message) override;

    // Every message kept in memory, oldest first, each followed by a line feed.
    std::wstring GetMemoryLog();

private:
    const std::string &ThreadPrefix();
    void OpenLogFile();
    void AppendToFile(const std::string &text);

    CCriticalSection m_lock;
    CThreadLocalStorage m_threadPrefix;
    // Opened for appending on the first line; shared for reading and writing, so the log can be read
    // while it grows. Plain file calls rather than a stream keep the module that logs small.
    CSmartHandle m_file;
    std::string m_fileName;
    bool m_toStandardOutput;
    bool m_toDebugger;
    bool m_toFile;
    bool m_toMemory;
    DWORD m_prefixMode;
    // Owns every prefix ever set: threads keep pointers into it, so entries are never removed.
    std::deque<std::string> m_prefixes;
    std::deque<std::string> m_memoryLog;
};

// Discards everything.
class CNullMessageLog : public ILogMessages
{
public:
    static CNullMessageLog &Instance();

    void SetThreadIdentifier(const std::wstring &identifier) override;
    void SetThreadIdentifier(const std::string &identifier) override;
    void SetLogName(const std::wstring &name) override;
    void SetLogName(const std::string &name) override;
    void LogMessage(const wchar_t *message, size_t length) override;
    void LogMessage(const char *message, size_t length) override;
    void LogMessage(const wchar_t *message) override;
    void LogMessage(const char *message) override;
    void LogMessage(const std::wstring &message) override;
    void LogMessage(const std::string &message) override;
};

// Forwards to another log, which can be swapped while the program runs. The target is not owned.
class CMessageLog : public ILogMessages
{
public:
    CMessageLog();
    explicit CMessageLog(ILogMessages &log);
    ~CMessageLog() = default;

    CMessageLog(const CMessageLog &) = delete;
    CMessageLog &operator=(const CMessageLog &) = delete;

    // Returns the previous target.
    ILogMessages *SetLog(ILogMessages *log);

    void SetThreadIdentifier(const std::wstring &identifier) override;
    void SetThreadIdentifier(const std::string &identifier) override;
    void SetLogName(const std::wstring &name) override;
    void SetLogName(const std::string &name) override;
    void LogMessage(const wchar_t *message, size_t length) override;
    void LogMessage(const char *message, size_t length) override;
    void LogMessage(const wchar_t *message) override;
    void LogMessage(const char *message) override;
    void LogMessage(const std::wstring &message) override;
    void LogMessage(const std::string &message) override;

private:
    ILogMessages *m_log;
};

// The process's debug trace: forwards to a process-wide CSimpleMessageLog that writes to the
// debugger and, once SetLogName has named it, to that file.
class CDebugTrace : public CMessageLog
{
public:
    static CDebugTrace &Instance();

private:
    CDebugTrace();
    ~CDebugTrace() = default;
};

} // namespace Win32
} // namespace Halyard
