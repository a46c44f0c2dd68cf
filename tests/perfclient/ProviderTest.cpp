#include "tests/perfclient/TestSupport.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/PerfData.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace Halyard::PerfClient;
using Halyard::Win32::CException;
using Halyard::Win32::CWin32Exception;

namespace {

const DWORD kLineTimeoutMs = 15000;
const wchar_t kServices[] = L"SYSTEM\\CurrentControlSet\\Services\\";

std::wstring StandInPath()
{
    return PerfClientTest::BesideTestProgram(L"PerfClientStandIn.dll");
}

bool KeyExists(const std::wstring &path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

// The stand-in provider registered under a service name and title indexes of this process, and told through
// the environment which service it is (the performance library loads it into this process).
class StandInProvider : public ::testing::Test
{
protected:
    StandInProvider()
        : m_pid(::GetCurrentProcessId()), m_service(L"PerfClientStandIn_" + std::to_wstring(m_pid)),
          m_firstCounter(20000 + (m_pid % 4096) * 4), m_listener(60000),
          m_registration(m_service, StandInPath(), m_firstCounter)
    {
        ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_SERVICE", m_service.c_str());
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
            const std::string missing(text.begin(), text.end());
            ADD_FAILURE() << "no line \"StandIn " << missing << "\" from this process; unclaimed lines:" << received;
        }
    }

    // The stand-in's object in the data, or null.
    const CPerformanceData::Object *FindStandIn(const CPerformanceData &data) const
    {
        return data.FindObject(m_firstCounter);
    }

    const DWORD m_pid;
    const std::wstring m_service;
    const DWORD m_firstCounter;
    CDebugChannelListener m_listener;
    CProviderRegistration m_registration;
};

} // namespace

TEST_F(StandInProvider, DirectCallsSeeWhatTheExportsWrite)
{
    CDirectProvider provider(StandInPath());
    EXPECT_EQ(0u, provider.Open(L""));

    const CDirectProvider::CollectResult first = provider.Collect(L"Global", 4096);
    EXPECT_EQ(0u, first.result);
    ASSERT_EQ(120u, first.bytes);
    EXPECT_EQ(1u, first.objects);
    EXPECT_EQ(120, first.cursorAdvance);
    EXPECT_FALSE(first.overran);
    EXPECT_EQ(CDirectProvider::kUnwrittenByte, first.data[120]);
    const std::vector<CPerformanceData::Object> objects =
        CPerformanceData::ParseObjects(first.data.data(), first.bytes, first.objects);
    ASSERT_EQ(1u, objects.size());
    EXPECT_EQ(m_firstCounter, objects[0].header.ObjectNameTitleIndex);
    const PERF_COUNTER_DEFINITION *counter = objects[0].FindCounter(m_firstCounter + 2);
    ASSERT_NE(nullptr, counter);
    EXPECT_EQ(1u, ReadCounterValue(*counter, objects[0].counterBlock));

    // The module stays loaded between direct calls: its call count goes on.
    const CDirectProvider::CollectResult second = provider.Collect(std::to_wstring(m_firstCounter), 4096);
    ASSERT_EQ(1u, second.objects);
    EXPECT_EQ(2u, ReadCounterValue(*counter, CPerformanceData::ParseObjects(second.data.data(), second.bytes, 1)[0]
                                                 .counterBlock));

    const CDirectProvider::CollectResult tooSmall = provider.Collect(L"Global", 119);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), tooSmall.result);
    EXPECT_EQ(0u, tooSmall.bytes);
    EXPECT_EQ(0, tooSmall.cursorAdvance);
    EXPECT_TRUE(std::all_of(tooSmall.data.begin(), tooSmall.data.end(),
                            [](BYTE b) { return b == CDirectProvider::kUnwrittenByte; }));

    const CDirectProvider::CollectResult other = provider.Collect(L"2", 4096);
    EXPECT_EQ(0u, other.result);
    EXPECT_EQ(0u, other.bytes);
    EXPECT_EQ(0u, other.objects);
    EXPECT_EQ(0u, provider.Close());

    ExpectLine(L"Open(\"\")");
    ExpectLine(L"Collect(\"Global\", bytes 4096, objects 0, call 1)");
    ExpectLine(L"Collect(\"2\", bytes 4096, objects 0, call 4)");
    ExpectLine(L"Close()");
}

TEST(CDirectProvider, RefusesAModuleWithoutTheExports)
{
    EXPECT_THROW(CDirectProvider(PerfClientTest::BesideTestProgram(L"no-such-provider.dll")), CWin32Exception);
    try
    {
        CDirectProvider provider(StandInPath(), "PerfData_Open", "NoSuchCollect");
        ADD_FAILURE() << "missing export accepted";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CDirectProvider::CDirectProvider() - GetProcAddress", e.GetWhere());
        EXPECT_NE(std::wstring::npos, e.GetMessage().find(L"\"NoSuchCollect\""));
    }
}

TEST(CProviderRegistration, WritesThePerformanceValuesAndRemovesTheServiceKey)
{
    const std::wstring service = L"PerfClientRegistration_" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring path = kServices + service;
    {
        CProviderRegistration registration(service, L"C:\\provider.dll", 4242);
        const std::wstring performance = path + L"\\Performance";
        DWORD first = 0;
        DWORD size = sizeof(first);
        ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, performance.c_str(), L"First Counter",
                                                RRF_RT_REG_DWORD, nullptr, &first, &size));
        EXPECT_EQ(4242u, first);
        for (const auto &expected : {std::make_pair(L"Library", L"C:\\provider.dll"),
                                     std::make_pair(L"Open", L"PerfData_Open"),
                                     std::make_pair(L"Collect", L"PerfData_Collect"),
                                     std::make_pair(L"Close", L"PerfData_Close")})
        {
            wchar_t value[MAX_PATH] = {};
            size = sizeof(value);
            ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, performance.c_str(), expected.first,
                                                    RRF_RT_REG_SZ, nullptr, value, &size));
            EXPECT_STREQ(expected.second, value);
        }
        // An existing service key is never taken over, and a refused registration leaves it alone.
        EXPECT_THROW(CProviderRegistration(service, L"C:\\other.dll", 1), CException);
        EXPECT_TRUE(KeyExists(performance));
    }
    EXPECT_FALSE(KeyExists(path));
}

// What Wine 8's performance library does with a provider, measured with the stand-in (its debugger lines
// show every call) — the facts the provider is built against:
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
TEST_F(StandInProvider, WinePerformanceLibraryCallsTheRegisteredProviderPerQuery)
{
    for (ULONGLONG query = 1; query <= 2; ++query)
    {
        const std::vector<BYTE> bytes = QueryPerformanceData(L"Global");
        const CPerformanceData data = CPerformanceData::Parse(bytes);
        const DWORD header = data.GetHeader().HeaderLength;
        EXPECT_TRUE(data.GetFirstObjectOffset() == header || data.GetFirstObjectOffset() == header + 88);
        const CPerformanceData::Object *object = FindStandIn(data);
        ASSERT_NE(nullptr, object);
        EXPECT_FALSE(object->HasInstances());
        // The module was loaded afresh: its first Collect call again.
        EXPECT_EQ(1u, ReadCounterValue(*object->FindCounter(m_firstCounter + 2), object->counterBlock));
        ExpectLine(L"attach");
        ExpectLine(L"Open((null))");
        ExpectLine(L"Collect(\"Global\"");
        ExpectLine(L"Close()");
        ExpectLine(L"detach");
    }

    const CPerformanceData selected = CPerformanceData::Parse(QueryPerformanceData(std::to_wstring(m_firstCounter)));
    EXPECT_NE(nullptr, FindStandIn(selected));
    ExpectLine(L"Collect(\"" + std::to_wstring(m_firstCounter) + L"\"");

    const CPerformanceData costly = CPerformanceData::Parse(QueryPerformanceData(L"Costly"));
    EXPECT_EQ(nullptr, FindStandIn(costly));
    ExpectLine(L"Collect(\"Costly\"");
}

TEST_F(StandInProvider, WinePerformanceLibraryLeavesOutFailingProviders)
{
    for (const wchar_t *mode : {L"openfail", L"collectfail"})
    {
        ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_MODE", mode);
        EXPECT_EQ(nullptr, FindStandIn(CPerformanceData::Parse(QueryPerformanceData(L"Global")))) << mode;
    }
    EXPECT_TRUE(m_listener.WaitForLine(m_pid, L"StandIn Open(", kLineTimeoutMs).has_value());

    ::SetEnvironmentVariableW(L"PERFCLIENT_STANDIN_MODE", L"keepsize");
    const std::vector<BYTE> bytes = QueryPerformanceData(L"Global");
    const CPerformanceData kept = CPerformanceData::Parse(bytes);
    EXPECT_NE(nullptr, FindStandIn(kept));

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
