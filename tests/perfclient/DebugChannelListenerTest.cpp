#include "tests/support/Expect.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <string>

using Halyard::PerfClient::CDebugChannelListener;
using namespace Halyard::Testing;

namespace {

// Test programs run in parallel and the channel has one owner: wait for it rather than fail.
const DWORD kAcquireTimeoutMs = 60000;
const DWORD kLineTimeoutMs = 15000;

std::wstring Unique(const std::wstring &text)
{
    return L"perfclient-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + text;
}

} // namespace

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
