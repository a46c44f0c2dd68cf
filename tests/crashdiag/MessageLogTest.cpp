#include "tests/crashdiag/CrashFolder.h"

#include "tools/perfclient/DebugChannelListener.h"
#include "win32/MessageLog.h"
#include "win32/StringConverter.h"
#include "win32/ThreadLocalStorage.h"
#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <thread>

using namespace Halyard;
using namespace Halyard::Testing;
using namespace Halyard::Win32;

namespace {

const std::string kHeader = "****************New Log*****************\r\n";

std::string ThreadPrefix()
{
    return ToStringA(static_cast<unsigned long>(::GetCurrentThreadId())) + ": ";
}

// Catches what the process writes to its standard output while it lives.
class CStandardOutputCapture
{
public:
    explicit CStandardOutputCapture(const std::wstring &path) : m_path(path)
    {
        std::cout.flush();
        std::fflush(stdout);
        m_saved = ::_dup(1);
        const int file = ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        ::_dup2(file, 1);
        ::_close(file);
    }
    ~CStandardOutputCapture() { Restore(); }

    std::string Take()
    {
        Restore();
        return LoadFileAsString(m_path);
    }

private:
    void Restore()
    {
        if (m_saved >= 0)
        {
            std::cout.flush();
            std::fflush(stdout);
            ::_dup2(m_saved, 1);
            ::_close(m_saved);
            m_saved = -1;
        }
    }

    std::wstring m_path;
    int m_saved = -1;
};

} // namespace

TEST(CSimpleMessageLog, EveryTargetGetsTheThreadIdUntilAnIdentifierIsSet)
{
    CCrashFolder folder;
    PerfClient::CDebugChannelListener listener(30000);
    const std::wstring file = folder.Path() + L"\\trace.log";
    {
        CStandardOutputCapture output(folder.Path() + L"\\stdout.txt");
        CSimpleMessageLog log(file, CSimpleMessageLog::StandardOutput | CSimpleMessageLog::Debugger |
                                        CSimpleMessageLog::File | CSimpleMessageLog::Memory,
                              1);
        log.LogMessage(L"first");
        log.SetThreadIdentifier(L"worker");
        log.LogMessage(std::string("second"));
        log.LogMessage("third and more", 5);
        EXPECT_EQ(output.Take(), ThreadPrefix() + "first\n" + "worker: second\n" + "worker: third\n");
        EXPECT_EQ(ToString(static_cast<unsigned long>(::GetCurrentThreadId())) +
                      L": first\nworker: second\nworker: third\n",
                  log.GetMemoryLog());
    }
    EXPECT_EQ(kHeader + ThreadPrefix() + "first\r\nworker: second\r\nworker: third\r\n", LoadFileAsString(file));
    const auto first = listener.WaitForLine(::GetCurrentProcessId(), L"first", 10000);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(ThreadPrefix() + "first\n", first->text);
    const auto second = listener.WaitForLine(::GetCurrentProcessId(), L"second", 10000);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ("worker: second\n", second->text);
}

TEST(CSimpleMessageLog, IdentifiersBelongToTheirThreads)
{
    CSimpleMessageLog log(L"", CSimpleMessageLog::Memory, 1);
    log.SetThreadIdentifier("main");
    std::string otherPrefix;
    std::thread other([&] {
        otherPrefix = ThreadPrefix();
        log.LogMessage("from the other thread");
    });
    other.join();
    log.LogMessage("from main");
    EXPECT_EQ(CStringConverter::AtoW(otherPrefix + "from the other thread\nmain: from main\n"), log.GetMemoryLog());
}

TEST(CSimpleMessageLog, PrefixModeZeroKeepsThePrefixOnlyForTheDebugger)
{
    CCrashFolder folder;
    PerfClient::CDebugChannelListener listener(30000);
    const std::wstring file = folder.Path() + L"\\plain.log";
    std::string output;
    {
        CStandardOutputCapture capture(folder.Path() + L"\\stdout.txt");
        CSimpleMessageLog log(file, 0x1111, 0);
        log.SetThreadIdentifier(std::string("plain"));
        log.LogMessage(L"unadorned", 9);
        output = capture.Take();
        EXPECT_EQ(L"unadorned\n", log.GetMemoryLog());
    }
    EXPECT_EQ("unadorned\n", output);
    EXPECT_EQ(kHeader + "unadorned\r\n", LoadFileAsString(file));
    const auto line = listener.WaitForLine(::GetCurrentProcessId(), L"unadorned", 10000);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ("plain: unadorned\n", line->text);
}

TEST(CSimpleMessageLog, SetLogNameClosesTheFileAndTheNextMessageStartsANewLog)
{
    CCrashFolder folder;
    const std::wstring first = folder.Path() + L"\\first.log";
    const std::wstring second = folder.Path() + L"\\second.log";
    CSimpleMessageLog log(first, CSimpleMessageLog::File, 1);
    log.SetThreadIdentifier("t");
    log.LogMessage("one");
    log.SetLogName(second);
    // Closed, so complete on disk.
    EXPECT_EQ(kHeader + "t: one\r\n", LoadFileAsString(first));
    log.LogMessage(L"two");
    // An empty name keeps the file's name but still closes it.
    log.SetLogName(std::string());
    log.LogMessage(std::wstring(L"three"));
    log.SetLogName(L"");
    EXPECT_EQ(kHeader + "t: two\r\n" + kHeader + "t: three\r\n", LoadFileAsString(second));
    EXPECT_EQ(kHeader + "t: one\r\n", LoadFileAsString(first));
}

TEST(CSimpleMessageLog, MemoryLogMustBeSwitchedOn)
{
    CCrashFolder folder;
    CSimpleMessageLog log(folder.Path() + L"\\file.log", CSimpleMessageLog::File, 1);
    log.LogMessage("kept in the file only");
    EXPECT_EQ(L"Memory backed message log not enabled", log.GetMemoryLog());
    log.SetLogName("");

    CSimpleMessageLog silent(folder.Path() + L"\\never.log", 0, 1);
    silent.LogMessage("nowhere");
    silent.SetLogName("");
    EXPECT_FALSE(FileExists(folder.Path() + L"\\never.log"));
}

TEST(CMessageLog, ForwardsToItsTargetWhichCanBeSwapped)
{
    CSimpleMessageLog first(L"", CSimpleMessageLog::Memory, 0);
    CSimpleMessageLog second(L"", CSimpleMessageLog::Memory, 0);
    CMessageLog log;
    log.LogMessage("dropped");
    EXPECT_EQ(&CNullMessageLog::Instance(), log.SetLog(&first));
    log.LogMessage("a");
    log.LogMessage(L"b", 1);
    EXPECT_EQ(&first, log.SetLog(&second));
    log.LogMessage(std::wstring(L"c"));
    EXPECT_EQ(L"a\nb\n", first.GetMemoryLog());
    EXPECT_EQ(L"c\n", second.GetMemoryLog());
}

TEST(CThreadLocalStorage, EachThreadSeesItsOwnValue)
{
    CThreadLocalStorage slot;
    int mine = 1;
    int theirs = 2;
    slot.SetValue(&mine);
    void *seenByOther = &mine;
    std::thread other([&] {
        seenByOther = slot.GetValue();
        slot.SetValue(&theirs);
    });
    other.join();
    EXPECT_EQ(nullptr, seenByOther);
    EXPECT_EQ(&mine, slot.GetValue());
}
