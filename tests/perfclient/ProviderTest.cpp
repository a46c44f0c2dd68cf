#include "tests/perfclient/TestSupport.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/PerfData.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Halyard::PerfClient;
using Halyard::Win32::CException;
using Halyard::Win32::CWin32Exception;

namespace {

const DWORD kLineTimeoutMs = 15000;

std::wstring StandInPath()
{
    return PerfClientTest::BesideTestProgram(L"PerfClientStandIn.dll");
}

// The stand-in provider registered under a service name and title indexes of this process; the environment
// tells it its title index (the performance library loads it into this process).
class StandInProvider : public ::testing::Test
{
protected:
    StandInProvider()
        : m_pid(::GetCurrentProcessId()), m_firstCounter(20000 + (m_pid % 4096) * 4), m_listener(60000),
          m_registration(L"PerfClientStandIn_" + std::to_wstring(m_pid), StandInPath(), m_firstCounter)
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
        if (!m_listener.WaitForLine(m_pid, L"StandIn " + text, kLineTimeoutMs))
        {
            std::string received;
            for (const CDebugChannelListener::Line &line : m_listener.TakeLines())
            {
                received += "\n  [" + std::to_string(line.processId) + "] " + line.text;
            }
            ADD_FAILURE() << "no line \"StandIn " << std::string(text.begin(), text.end())
                          << "\" from this process; unclaimed lines:" << received;
        }
    }

    const DWORD m_pid;
    const DWORD m_firstCounter;
    CDebugChannelListener m_listener;
    CProviderRegistration m_registration;
};

} // namespace

TEST_F(StandInProvider, DirectCallsKeepTheModuleLoadedAndRefuseAModuleWithoutTheExports)
{
    CDirectProvider provider(StandInPath());
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

    EXPECT_THROW(CDirectProvider(PerfClientTest::BesideTestProgram(L"no-such-provider.dll")), CWin32Exception);
    try
    {
        CDirectProvider missing(StandInPath(), "PerfData_Open", "NoSuchCollect");
        ADD_FAILURE() << "missing export accepted";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CDirectProvider::CDirectProvider() - GetProcAddress", e.GetWhere());
        EXPECT_NE(std::wstring::npos, e.GetMessage().find(L"\"NoSuchCollect\""));
    }
}

// An existing service key is never taken over, a refused registration leaves it alone, and the key goes
// with its registration.
TEST(CProviderRegistration, RefusesAnExistingServiceKeyAndRemovesItsOwn)
{
    const std::wstring service = L"PerfClientRegistration_" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    {
        CProviderRegistration registration(service, L"C:\\provider.dll", 4242);
        EXPECT_THROW(CProviderRegistration(service, L"C:\\other.dll", 1), CException);
        DWORD first = 0;
        DWORD size = sizeof(first);
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, (path + L"\\Performance").c_str(), L"First Counter",
                                                RRF_RT_REG_DWORD, nullptr, &first, &size));
        EXPECT_EQ(4242u, first);
    }
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key));
}

// What Wine 8's performance library does with a provider, measured with stand-in providers (their debugger
// lines show every call) — the facts the provider is built against:
// - Every RegQueryValueExW(HKEY_PERFORMANCE_DATA, ...) loads each registered provider, calls Open with a null
//   device-names pointer, Collect once, Close, and unloads the module: Open runs once per query and no state
//   survives from one query to the next.
// - The query text reaches Collect unchanged: "Global", "Costly", or the index list as given.
// - Collect gets the caller's buffer size minus HeaderLength (88-byte PERF_DATA_BLOCK + the system name,
//   96 bytes here) and an object count of 0. The objects are placed at sizeof(PERF_DATA_BLOCK) + HeaderLength,
//   but TotalByteLength and the size returned count only HeaderLength + the provider's bytes: a provider that
//   fills the buffer it was told about writes 88 bytes past the end of the caller's buffer.
// - The provider's byte count is trusted: a Collect that returns success with the count left at the buffer
//   size makes TotalByteLength (and the returned size) the whole buffer.
// - ERROR_MORE_DATA from a provider becomes ERROR_MORE_DATA from RegQueryValueExW, with the size set to 0 (no
//   hint); a buffer smaller than HeaderLength gives the same without calling any provider.
// - A provider whose Open returns non-zero gets neither Collect nor Close; one whose Collect returns another
//   error is left out. Either way the query succeeds with that provider's objects missing.
TEST_F(StandInProvider, ProviderThatNeverFitsIsReportedNotTakenForData)
{
    ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_MODE", L"moredata");
    try
    {
        QueryPerformanceData(L"Global", 256 * 1024);
        ADD_FAILURE() << "a provider that never fits was reported as data";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"QueryPerformanceData()", e.GetWhere());
    }
}
