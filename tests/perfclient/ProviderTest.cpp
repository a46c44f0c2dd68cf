#include "tests/support/ChildProcess.h"
#include "tests/support/Expect.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/PerfData.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Halyard::PerfClient;
using Halyard::Win32::CWin32Exception;
using namespace Halyard::Testing;

namespace {

const DWORD kLineTimeoutMs = 15000;

// The stand-in provider registered under a service name and title indexes of this process; the environment
// tells it its title index (the performance library loads it into this process).
class StandInProvider : public ::testing::Test
{
protected:
    StandInProvider()
        : m_pid(::GetCurrentProcessId()), m_firstCounter(20000 + (m_pid % 4096) * 4), m_listener(60000),
          m_registration(L"PerfClientStandIn_" + std::to_wstring(m_pid), Beside(L"PerfClientStandIn.dll"),
                         m_firstCounter)
    {
        ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_FIRST", std::to_wstring(m_firstCounter).c_str());
        ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_MODE", nullptr);
    }

    ~StandInProvider() override
    {
        ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_MODE", nullptr);
    }

    void ExpectLine(const std::wstring &text)
    {
        EXPECT_TRUE(m_listener.WaitForLine(m_pid, L"StandIn " + text, kLineTimeoutMs).has_value()) << text.c_str();
    }

    const DWORD m_pid;
    const DWORD m_firstCounter;
    CDebugChannelListener m_listener;
    CProviderRegistration m_registration;
};

} // namespace

TEST_F(StandInProvider, DirectCallsKeepTheModuleLoadedAndRefuseAModuleWithoutTheExports)
{
    CDirectProvider provider(Beside(L"PerfClientStandIn.dll"));
    EXPECT_EQ(0u, provider.Open(L""));
    for (ULONGLONG call = 1; call <= 2; ++call)
    {
        const CDirectProvider::CollectResult result = provider.Collect(L"Global", 4096);
        EXPECT_EQ(0u, result.result);
        ASSERT_EQ(120u, result.bytes);
        EXPECT_EQ(120, result.cursorAdvance);
        EXPECT_FALSE(result.overran);
        EXPECT_EQ(CDirectProvider::kUnwrittenByte, result.data[120]);
        const auto objects = CPerformanceData::ParseObjects(result.data.data(), result.bytes, result.objects);
        ASSERT_EQ(1u, objects.size());
        EXPECT_EQ(call, ReadCounterValue(*objects[0].FindCounter(m_firstCounter + 2), objects[0].counterBlock));
    }
    EXPECT_EQ(0u, provider.Close());
    ExpectLine(L"Close()");

    EXPECT_THROW(CDirectProvider(Beside(L"no-such-provider.dll")), CWin32Exception);
    const std::wstring missing = ThrownText(
        [] { CDirectProvider provider(Beside(L"PerfClientStandIn.dll"), "PerfData_Open", "NoSuchCollect"); });
    EXPECT_EQ(0u, missing.find(L"CDirectProvider::CDirectProvider() - GetProcAddress - ")) << missing.c_str();
    EXPECT_NE(std::wstring::npos, missing.find(L"\"NoSuchCollect\""));
}

// The performance library turns a provider's ERROR_MORE_DATA into its own, without a size hint: a
// query that grew its buffer for ever would take the failure for a buffer still too small.
TEST_F(StandInProvider, ProviderThatNeverFitsIsReportedNotTakenForData)
{
    ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_MODE", L"moredata");
    EXPECT_EQ(0u, ThrownText([] { QueryPerformanceData(L"Global", 256 * 1024); }).find(L"QueryPerformanceData() - "));
}
