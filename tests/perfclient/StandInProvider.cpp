// A stand-in provider for the tests of the consumer side. It reports every call on the debugger channel
// ("StandIn ..." lines) so that a test can see how the performance library drives a provider, and answers
// Collect with one object of one 8-byte counter whose value counts the Collect calls since the module was loaded.
// The test steers it through environment variables of the process that loads it:
//   PERFCLIENT_STANDIN_SERVICE  the service key whose "First Counter" gives the object's title index
//   PERFCLIENT_STANDIN_MODE     empty: behave; "keepsize": write the object but leave the byte count as it came;
//                               "moredata": always answer ERROR_MORE_DATA; "openfail": Open answers 1;
//                               "collectfail": Collect answers ERROR_INVALID_DATA without writing
#include <windows.h>
#include <winperf.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>

extern "C" {
DWORD WINAPI PerfData_Open(LPWSTR deviceNames);
DWORD WINAPI PerfData_Collect(LPWSTR query, LPVOID *data, LPDWORD bytes, LPDWORD objects);
DWORD WINAPI PerfData_Close();
}

namespace {

struct StandInObject
{
    PERF_OBJECT_TYPE object;
    PERF_COUNTER_DEFINITION counter;
    PERF_COUNTER_BLOCK block;
    DWORD padding;
    ULONGLONG value;
};
static_assert(sizeof(StandInObject) == 120, "stand-in object layout");

ULONGLONG g_collectCalls = 0;

std::wstring Environment(const wchar_t *name)
{
    wchar_t value[256] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 256);
    return length > 0 && length < 256 ? std::wstring(value, length) : std::wstring();
}

void Report(const std::wstring &line)
{
    ::OutputDebugStringW((L"StandIn " + line).c_str());
}

std::wstring Quoted(const wchar_t *text)
{
    return text == nullptr ? L"(null)" : L"\"" + std::wstring(text) + L"\"";
}

DWORD FirstCounter()
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + Environment(L"PERFCLIENT_STANDIN_SERVICE") +
                             L"\\Performance";
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"First Counter", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
    {
        return 0;
    }
    return value;
}

bool Selected(const wchar_t *query, DWORD titleIndex)
{
    if (query == nullptr || *query == L'\0' || ::lstrcmpiW(query, L"Global") == 0)
    {
        return true;
    }
    const std::wstring padded = L" " + std::wstring(query) + L" ";
    return padded.find(L" " + std::to_wstring(titleIndex) + L" ") != std::wstring::npos;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        Report(L"attach");
    }
    else if (reason == DLL_PROCESS_DETACH)
    {
        Report(L"detach");
    }
    return TRUE;
}

DWORD WINAPI PerfData_Open(LPWSTR deviceNames)
{
    Report(L"Open(" + Quoted(deviceNames) + L")");
    return Environment(L"PERFCLIENT_STANDIN_MODE") == L"openfail" ? 1 : ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Collect(LPWSTR query, LPVOID *data, LPDWORD bytes, LPDWORD objects)
{
    ++g_collectCalls;
    Report(L"Collect(" + Quoted(query) + L", bytes " + std::to_wstring(*bytes) + L", objects " +
           std::to_wstring(*objects) + L", call " + std::to_wstring(g_collectCalls) + L")");
    const std::wstring mode = Environment(L"PERFCLIENT_STANDIN_MODE");
    const DWORD first = FirstCounter();
    if (mode == L"collectfail")
    {
        return ERROR_INVALID_DATA;
    }
    if (mode == L"moredata" || (Selected(query, first) && *bytes < sizeof(StandInObject)))
    {
        *bytes = 0;
        *objects = 0;
        return ERROR_MORE_DATA;
    }
    if (!Selected(query, first))
    {
        *bytes = 0;
        *objects = 0;
        return ERROR_SUCCESS;
    }

    StandInObject out = {};
    out.object.TotalByteLength = sizeof(StandInObject);
    out.object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + sizeof(PERF_COUNTER_DEFINITION);
    out.object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    out.object.ObjectNameTitleIndex = first;
    out.object.ObjectHelpTitleIndex = first + 1;
    out.object.DetailLevel = PERF_DETAIL_NOVICE;
    out.object.NumCounters = 1;
    out.object.DefaultCounter = 0;
    out.object.NumInstances = PERF_NO_INSTANCES;
    out.counter.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
    out.counter.CounterNameTitleIndex = first + 2;
    out.counter.CounterHelpTitleIndex = first + 3;
    out.counter.DetailLevel = PERF_DETAIL_NOVICE;
    out.counter.CounterType = PERF_COUNTER_LARGE_RAWCOUNT;
    out.counter.CounterSize = sizeof(ULONGLONG);
    out.counter.CounterOffset = offsetof(StandInObject, value) - offsetof(StandInObject, block);
    out.block.ByteLength = sizeof(StandInObject) - offsetof(StandInObject, block);
    out.value = g_collectCalls;

    std::memcpy(*data, &out, sizeof(out));
    *data = static_cast<BYTE *>(*data) + sizeof(out);
    if (mode != L"keepsize")
    {
        *bytes = sizeof(out);
    }
    *objects = 1;
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Close()
{
    Report(L"Close()");
    return ERROR_SUCCESS;
}
