// tarnsim: a TARN server stand-in. Takes up to three named instances of the TARN object and drives
// every counter with a plausible load until its time is up or Ctrl+C, then releases them.
#include "provider/TarnServerCounters.h"
#include "tools/common/CommandLine.h"
#include "tools/common/Console.h"
#include "win32/Exception.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using Halyard::Tools::CConsoleStop;
using Halyard::Tools::CUsageError;

namespace {

const size_t kMaxInstances = 3;
const size_t kMaxNameLength = 25;
const DWORD kTickMs = 100;

const wchar_t kUsage[] = L"usage: tarnsim [--seconds <n>] <instance name> [<instance name> [<instance name>]]\n"
                         L"  Runs until <n> seconds have passed (default: until Ctrl+C). Instance names have\n"
                         L"  at most 25 characters; the TARN object has 3 instance slots.\n";

struct Options
{
    DWORD seconds = INFINITE;
    std::vector<std::wstring> names;
};

Options ParseOptions(const std::vector<std::wstring> &arguments)
{
    Options options;
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const std::wstring &argument = arguments[i];
        if (argument == L"--seconds")
        {
            options.seconds = static_cast<DWORD>(Halyard::Tools::ParseSeconds(arguments, i) * 1000) / 1000;
        }
        else if (argument.size() > 1 && argument[0] == L'-' && argument[1] == L'-')
        {
            throw CUsageError(L"unknown option: " + argument);
        }
        else
        {
            options.names.push_back(argument);
        }
    }
    if (options.names.empty())
    {
        throw CUsageError(L"name at least one instance");
    }
    if (options.names.size() > kMaxInstances)
    {
        throw CUsageError(L"too many instances: " + std::to_wstring(options.names.size()) +
                          L" given, the TARN object has " + std::to_wstring(kMaxInstances) + L" instance slots");
    }
    for (size_t i = 0; i < options.names.size(); ++i)
    {
        const std::wstring &name = options.names[i];
        if (name.empty())
        {
            throw CUsageError(L"an instance name must not be empty");
        }
        if (name.size() > kMaxNameLength)
        {
            throw CUsageError(L"instance name \"" + name + L"\" is too long: " + std::to_wstring(name.size()) +
                              L" characters, at most " + std::to_wstring(kMaxNameLength) + L" are allowed");
        }
        if (std::find(options.names.begin(), options.names.begin() + static_cast<std::ptrdiff_t>(i), name) !=
            options.names.begin() + static_cast<std::ptrdiff_t>(i))
        {
            throw CUsageError(L"instance name \"" + name + L"\" is given twice");
        }
    }
    return options;
}

// One instance's simulated server: pools that grow when drained and shrink when idle, connections
// that come and go, a business-logic queue fed and drained at varying rates. The counts are kept
// here too, so the counters always agree with each other.
class CLoad
{
public:
    CLoad(CTarnInstance &instance, unsigned seed) : m_instance(instance), m_random(seed)
    {
        m_instance.Set(TarnCounter::IOThreadsActive, kIOThreads);
        m_instance.Set(TarnCounter::BusinessLogicThreadsActive, kBusinessLogicThreads);
        GrowBuffers(64);
        GrowSockets(16);
    }

    void Tick()
    {
        const LONGLONG bytesIn = Between(20000, 400000);
        const LONGLONG bytesOut = Between(10000, 600000);
        m_instance.Add(TarnCounter::BytesIn, bytesIn);
        m_instance.Add(TarnCounter::BytesInPerSec, bytesIn);
        m_instance.Add(TarnCounter::BytesOut, bytesOut);
        m_instance.Add(TarnCounter::BytesOutPerSec, bytesOut);

        for (LONGLONG n = Between(0, 4); n > 0; --n)
        {
            Connect();
        }
        for (LONGLONG n = std::min<LONGLONG>(Between(0, 4), m_connections); n > 0; --n)
        {
            Disconnect();
        }
        if (m_socketsTotal - m_connections > 24)
        {
            ShrinkSockets(8);
        }

        const LONGLONG taken = Between(0, 40);
        for (LONGLONG n = taken; n > 0; --n)
        {
            TakeBuffer();
        }
        for (LONGLONG n = std::min<LONGLONG>(Between(0, 40), m_buffersInUse); n > 0; --n)
        {
            ReturnBuffer();
        }
        if (m_buffersTotal - m_buffersInUse > 128)
        {
            ShrinkBuffers(32);
        }

        const LONGLONG ioEvents = Between(100, 1500);
        m_instance.Add(TarnCounter::IOThreadsEventsPerSec, ioEvents);
        m_instance.Set(TarnCounter::IOThreadsProcessing, Between(0, kIOThreads));

        const LONGLONG added = Between(0, 60);
        const LONGLONG removed = std::min(Between(0, 60), m_queue + added);
        m_queue += added - removed;
        m_instance.Add(TarnCounter::BusinessLogicQueue, added - removed);
        m_instance.Add(TarnCounter::BusinessLogicQueueAddedPerSec, added);
        m_instance.Add(TarnCounter::BusinessLogicQueueRemovedPerSec, removed);
        m_instance.Add(TarnCounter::BusinessLogicThreadsEventsPerSec, removed);
        m_instance.Set(TarnCounter::BusinessLogicThreadsProcessing,
                       std::min<LONGLONG>(kBusinessLogicThreads, m_queue + Between(0, 2)));
    }

private:
    static constexpr LONGLONG kIOThreads = 4;
    static constexpr LONGLONG kBusinessLogicThreads = 8;

    LONGLONG Between(LONGLONG low, LONGLONG high)
    {
        return std::uniform_int_distribution<LONGLONG>(low, high)(m_random);
    }

    void GrowSockets(LONGLONG count)
    {
        m_socketsTotal += count;
        m_instance.Add(TarnCounter::SocketsTotal, count);
        m_instance.Add(TarnCounter::SocketsTotalAddedPerSec, count);
    }

    void ShrinkSockets(LONGLONG count)
    {
        m_socketsTotal -= count;
        m_instance.Add(TarnCounter::SocketsTotal, -count);
        m_instance.Add(TarnCounter::SocketsTotalRemovedPerSec, count);
    }

    void Connect()
    {
        if (m_connections == m_socketsTotal)
        {
            GrowSockets(8);
        }
        ++m_connections;
        m_instance.Increment(TarnCounter::ConnectionsActive);
        m_instance.Increment(TarnCounter::SocketsInUse);
        m_instance.Increment(TarnCounter::SocketsInUseAddedPerSec);
    }

    void Disconnect()
    {
        --m_connections;
        m_instance.Decrement(TarnCounter::ConnectionsActive);
        m_instance.Decrement(TarnCounter::SocketsInUse);
        m_instance.Increment(TarnCounter::SocketsInUseRemovedPerSec);
    }

    void GrowBuffers(LONGLONG count)
    {
        m_buffersTotal += count;
        m_instance.Add(TarnCounter::IOBuffersTotal, count);
        m_instance.Add(TarnCounter::IOBuffersTotalAddedPerSec, count);
    }

    void ShrinkBuffers(LONGLONG count)
    {
        m_buffersTotal -= count;
        m_instance.Add(TarnCounter::IOBuffersTotal, -count);
        m_instance.Add(TarnCounter::IOBuffersTotalRemovedPerSec, count);
    }

    void TakeBuffer()
    {
        if (m_buffersInUse == m_buffersTotal)
        {
            GrowBuffers(32);
        }
        ++m_buffersInUse;
        m_instance.Increment(TarnCounter::IOBuffersInUse);
        m_instance.Increment(TarnCounter::IOBuffersInUseAddedPerSec);
    }

    void ReturnBuffer()
    {
        --m_buffersInUse;
        m_instance.Decrement(TarnCounter::IOBuffersInUse);
        m_instance.Increment(TarnCounter::IOBuffersInUseRemovedPerSec);
    }

    CTarnInstance &m_instance;
    std::mt19937 m_random;
    LONGLONG m_connections = 0;
    LONGLONG m_socketsTotal = 0;
    LONGLONG m_buffersInUse = 0;
    LONGLONG m_buffersTotal = 0;
    LONGLONG m_queue = 0;
};

int Run(const Options &options, const CConsoleStop &stop)
{
    CTarnServerCounters counters;
    std::vector<CTarnInstance> instances;
    instances.reserve(options.names.size());
    for (const std::wstring &name : options.names)
    {
        instances.push_back(counters.TakeInstance(name));
        std::wprintf(L"tarnsim: instance \"%ls\" is id %lu%ls\n", name.c_str(), instances.back().GetId(),
                     instances.back().WasCreated() ? L"" : L" (it was in use: taken over with its values)");
    }
    std::vector<CLoad> loads;
    loads.reserve(instances.size());
    for (size_t i = 0; i < instances.size(); ++i)
    {
        loads.emplace_back(instances[i], static_cast<unsigned>(::GetTickCount() + 7919 * i));
    }
    if (options.seconds == INFINITE)
    {
        std::wprintf(L"tarnsim: serving until Ctrl+C (first counter index %lu)\n", counters.GetFirstCounterIndex());
    }
    else
    {
        std::wprintf(L"tarnsim: serving for %lu s (first counter index %lu)\n", options.seconds,
                     counters.GetFirstCounterIndex());
    }
    std::fflush(stdout);

    const ULONGLONG deadline =
        options.seconds == INFINITE ? ~0ULL : ::GetTickCount64() + static_cast<ULONGLONG>(options.seconds) * 1000;
    while (::GetTickCount64() < deadline && !stop.IsRequested(kTickMs))
    {
        for (CLoad &load : loads)
        {
            load.Tick();
        }
    }
    for (CTarnInstance &instance : instances)
    {
        instance.Release();
    }
    std::wprintf(L"tarnsim: stopped; instances released\n");
    return 0;
}

} // namespace

int main()
{
    const CConsoleStop stop;
    try
    {
        return Run(ParseOptions(Halyard::Tools::GetCommandLineArguments()), stop);
    }
    catch (const CUsageError &e)
    {
        return Halyard::Tools::ReportUsageError(L"tarnsim", e, kUsage);
    }
    catch (const Halyard::Win32::CException &e)
    {
        return Halyard::Tools::ReportFailure(L"tarnsim", e, 1);
    }
}
