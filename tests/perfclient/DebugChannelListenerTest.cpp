#include "tests/perfclient/TestSupport.h"
#include "tests/support/Expect.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <string>

using Halyard::PerfClient::CDebugChannelListener;
using Halyard::Testing::ThrownText;

namespace {

// Test programs run in parallel and the channel has one owner: wait for it rather than fail.
const DWORD kAcquireTimeoutMs = 60000;
const DWORD kLineTimeoutMs = 15000;

std::wstring Unique(const std::wstring &text)
{
    return L"perfclient-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + text;
}

} // namespace

TEST(CDebugChannelListener, ReceivesAnotherProcessesLinesWithItsProcessIdAndKeepsThoseNotYetTaken)
{
    CDebugChannelListener listener(kAcquireTimeoutMs);
    std::wstring commandLine = L"\"" + PerfClientTest::BesideTestProgram(L"test_helper.exe") + L"\" debug-write \"" +
                               Unique(L"first line") + L"\" \"" + Unique(L"second line") + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.hProcess, 60000));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ASSERT_NE(::GetCurrentProcessId(), process.dwProcessId);

    // The second line is taken first: the first one, passed over, must still be there afterwards.
    const auto second = listener.WaitForLine(process.dwProcessId, Unique(L"second"), kLineTimeoutMs);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(process.dwProcessId, second->processId);
    EXPECT_EQ(Unique(L"second line"), second->GetWideText());
    EXPECT_FALSE(listener.WaitForLine(Unique(L"second"), 200).has_value());
    const auto first = listener.WaitForLine(Unique(L"first line"), kLineTimeoutMs);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(process.dwProcessId, first->processId);
}

TEST(CDebugChannelListener, OwnsTheChannelAloneAndReleasesItWhenDestroyed)
{
    {
        CDebugChannelListener owner(kAcquireTimeoutMs);
        const std::wstring refused = ThrownText([] { CDebugChannelListener second(0); });
        EXPECT_EQ(0u, refused.find(L"CDebugChannelListener::CDebugChannelListener() - "));
        EXPECT_NE(std::wstring::npos, refused.find(L"\"DBWIN_BUFFER\""));
        // The refused listener must not have disturbed the owner.
        ::OutputDebugStringW(Unique(L"to the owner").c_str());
        EXPECT_TRUE(owner.WaitForLine(::GetCurrentProcessId(), Unique(L"to the owner"), kLineTimeoutMs).has_value());
    }
    CDebugChannelListener next(kAcquireTimeoutMs);
    ::OutputDebugStringW(Unique(L"to the next").c_str());
    EXPECT_TRUE(next.WaitForLine(Unique(L"to the next"), kLineTimeoutMs).has_value());
}
