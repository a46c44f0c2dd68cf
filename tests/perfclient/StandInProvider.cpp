// A stand-in provider for the tests of the consumer side. It reports its Close on the debugger channel
// ("StandIn Close()"), and answers Collect with one object of one 8-byte counter whose value counts the
// Collect calls since the module was loaded.
// The test steers it through environment variables of the process that loads it:
//   PERFCLIENT_STANDIN_FIRST  the object's title index, as its registration's "First Counter"
//   PERFCLIENT_STANDIN_MODE   empty: behave; "moredata": always answer ERROR_MORE_DATA
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

DWORD WINAPI PerfData_Open(LPWSTR)
{
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Collect(LPWSTR query, LPVOID *data, LPDWORD bytes, LPDWORD objects)
{
    ++g_collectCalls;
    const DWORD first = std::wcstoul(Environment(L"PERFCLIENT_STANDIN_FIRST").c_str(), nullptr, 10);
    const bool selected = Selected(query, first);
    if (!selected || *bytes < sizeof(StandInObject) || Environment(L"PERFCLIENT_STANDIN_MODE") == L"moredata")
    {
        *bytes = 0;
        *objects = 0;
        return selected ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }

    StandInObject out = {};
    out.object.TotalByteLength = sizeof(StandInObject);
    out.object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + sizeof(PERF_COUNTER_DEFINITION);
    out.object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    out.object.ObjectNameTitleIndex = first;
    out.object.ObjectHelpTitleIndex = first + 1;
    out.object.DetailLevel = PERF_DETAIL_NOVICE;
    out.object.NumCounters = 1;
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
    *bytes = sizeof(out);
    *objects = 1;
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Close()
{
    ::OutputDebugStringW(L"StandIn Close()");
    return ERROR_SUCCESS;
}
