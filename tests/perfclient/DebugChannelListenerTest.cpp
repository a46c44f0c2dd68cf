#include "tests/perfclient/TestSupport.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Halyard::PerfClient::CDebugChannelListener;
using Halyard::Win32::CException;

namespace {

// Test programs run in parallel and the channel has one owner: wait for it rather than fail.
const DWORD kAcquireTimeoutMs = 60000;
const DWORD kLineTimeoutMs = 15000;

std::wstring Unique(const std::wstring &text)
{
    return L"perfclient-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + text;
}

// Starts the writer with the given lines and waits for it to end; returns its process id.
DWORD RunWriter(const std::vector<std::wstring> &lines)
{
    std::wstring commandLine = L"\"" + PerfClientTest::BesideTestProgram(L"perfclient_debug_writer.exe") + L"\"";
    for (const std::wstring &line : lines)
    {
        commandLine += L" \"" + line + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return 0;
    }
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.hProcess, 60000));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return process.dwProcessId;
}

} // namespace

TEST(CDebugChannelListener, ReceivesAnotherProcessesLinesWithItsProcessId)
{
    CDebugChannelListener listener(kAcquireTimeoutMs);
    const DWORD writer = RunWriter({Unique(L"first line"), Unique(L"second line")});
    ASSERT_NE(0u, writer);
    ASSERT_NE(::GetCurrentProcessId(), writer);

    const auto first = listener.WaitForLine(writer, Unique(L"first"), kLineTimeoutMs);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(writer, first->processId);
    EXPECT_EQ(Unique(L"first line"), first->GetWideText());
    const auto second = listener.WaitForLine(Unique(L"second line"), kLineTimeoutMs);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(writer, second->processId);
}

TEST(CDebugChannelListener, KeepsLinesThatDidNotMatchUntilTaken)
{
    CDebugChannelListener listener(kAcquireTimeoutMs);
    ::OutputDebugStringW(Unique(L"kept").c_str());
    ::OutputDebugStringW(Unique(L"wanted").c_str());

    const auto wanted = listener.WaitForLine(Unique(L"wanted"), kLineTimeoutMs);
    ASSERT_TRUE(wanted.has_value());
    EXPECT_EQ(::GetCurrentProcessId(), wanted->processId);
    EXPECT_FALSE(listener.WaitForLine(Unique(L"wanted"), 200).has_value());

    std::vector<std::string> texts;
    for (const CDebugChannelListener::Line &line : listener.TakeLines())
    {
        texts.push_back(line.text);
    }
    const std::wstring kept = Unique(L"kept");
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), std::string(kept.begin(), kept.end())));
    EXPECT_TRUE(listener.TakeLines().empty());
}

TEST(CDebugChannelListener, OwnsTheChannelAloneAndReleasesItWhenDestroyed)
{
    {
        CDebugChannelListener owner(kAcquireTimeoutMs);
        try
        {
            CDebugChannelListener second(0);
            ADD_FAILURE() << "a second listener took the channel";
        }
        catch (const CException &e)
        {
            EXPECT_EQ(L"CDebugChannelListener::CDebugChannelListener()", e.GetWhere());
            EXPECT_NE(std::wstring::npos, e.GetMessage().find(L"\"DBWIN_BUFFER\""));
        }
        // The refused listener must not have disturbed the owner.
        ::OutputDebugStringW(Unique(L"to the owner").c_str());
        EXPECT_TRUE(owner.WaitForLine(Unique(L"to the owner"), kLineTimeoutMs).has_value());
    }
    CDebugChannelListener next(kAcquireTimeoutMs);
    ::OutputDebugStringW(Unique(L"to the next").c_str());
    EXPECT_TRUE(next.WaitForLine(Unique(L"to the next"), kLineTimeoutMs).has_value());
}
