#include "tests/support/TempFiles.h"

#include "tools/perfclient/DebugChannelListener.h"
#include "win32/FileUtils.h"
#include "win32/MessageLog.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <cstring>
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

} // namespace

// Each line goes to every target with the thread's identifier, or its id until one is set; prefix
// mode 0 drops the prefix everywhere but on the debugger channel.
TEST(CSimpleMessageLog, EveryTargetGetsThePrefixOfItsMode)
{
    const struct
    {
        DWORD prefixMode;
        const char *identifier;
        const char *message;
        std::string prefix;
        std::string debuggerPrefix;
    } cases[] = {
        {1, nullptr, "numbered", ThreadPrefix(), ThreadPrefix()},
        {1, "worker", "named", "worker: ", "worker: "},
        {0, "plain", "unadorned", "", "plain: "},
    };
    CTempFolder folder(L"crashdiag");
    PerfClient::CDebugChannelListener listener(30000);
    for (const auto &c : cases)
    {
        const std::wstring file = folder / CStringConverter::AtoW(c.message);
        std::string output;
        {
            CStandardOutputCapture capture(folder / L"stdout.txt");
            CSimpleMessageLog log(file, CSimpleMessageLog::StandardOutput | CSimpleMessageLog::Debugger |
                                            CSimpleMessageLog::File | CSimpleMessageLog::Memory,
                                  c.prefixMode);
            if (c.identifier != nullptr)
            {
                log.SetThreadIdentifier(std::string(c.identifier));
            }
            // A length shorter than the text ends the line there.
            log.LogMessage((std::string(c.message) + " and more").c_str(), std::strlen(c.message));
            output = capture.Take();
            EXPECT_EQ(CStringConverter::AtoW(c.prefix + c.message + "\n"), log.GetMemoryLog());
        }
        EXPECT_EQ(c.prefix + c.message + "\n", output);
        EXPECT_EQ(kHeader + c.prefix + c.message + "\r\n", LoadFileAsString(file));
        const auto line = listener.WaitForLine(::GetCurrentProcessId(), CStringConverter::AtoW(c.message), 10000);
        ASSERT_TRUE(line.has_value()) << c.message;
        EXPECT_EQ(c.debuggerPrefix + c.message + "\n", line->text);
    }
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
    log.LogMessage(L"from main");
    EXPECT_EQ(CStringConverter::AtoW(otherPrefix + "from the other thread\nmain: from main\n"), log.GetMemoryLog());
}

TEST(CSimpleMessageLog, SetLogNameClosesTheFileAndTheNextMessageStartsANewLog)
{
    CTempFolder folder(L"crashdiag");
    const std::wstring first = folder / L"first.log";
    const std::wstring second = folder / L"second.log";
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

TEST(CMessageLog, ForwardsToItsTargetWhichCanBeSwapped)
{
    CSimpleMessageLog first(L"", CSimpleMessageLog::Memory, 0);
    CSimpleMessageLog second(L"", CSimpleMessageLog::Memory, 0);
    CMessageLog log;
    log.LogMessage("dropped");
    EXPECT_EQ(&CNullMessageLog::Instance(), log.SetLog(&first));
    log.LogMessage("a");
    EXPECT_EQ(&first, log.SetLog(&second));
    log.LogMessage(std::wstring(L"c"));
    EXPECT_EQ(L"a\n", first.GetMemoryLog());
    EXPECT_EQ(L"c\n", second.GetMemoryLog());
}
