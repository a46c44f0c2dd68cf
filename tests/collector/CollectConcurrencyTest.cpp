#include "tests/collector/CollectTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

// A server in another process takes, releases and updates instances under the block's lock as fast
// as it can while the provider collects in a loop: every answer is well formed, and every instance
// in it carries whole values from one update of its own.
TEST(CollectConcurrency, CollectsStayWellFormedWhileAServerChurns)
{
    const std::wstring base = UniqueName(L"HalyardChurn");
    CHelperHolding server(L"churn " + base);

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(base), schema, 1000, nullptr);
    collector.Open(L"");

    std::vector<BYTE> buffer(8192);
    int changes = 0;
    LONG lastCount = -1;
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < 40000 || (changes < 20 && ::GetTickCount() - start < 20000); ++i)
    {
        const CollectResult r = CollectInto(collector, L"Global", buffer.data(), static_cast<DWORD>(buffer.size()));
        ASSERT_TRUE(r.result);
        ASSERT_EQ(1u, r.objects);
        ASSERT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects)) << i;
        const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
        ASSERT_GE(object->NumInstances, 1) << "the server's steady instance is always there";
        changes += (lastCount != -1 && object->NumInstances != lastCount) ? 1 : 0;
        lastCount = object->NumInstances;

        // Every instance shows the values of one update, made for its own name.
        const BYTE *position = buffer.data() + object->DefinitionLength;
        for (LONG n = 0; n < object->NumInstances; ++n)
        {
            const PERF_INSTANCE_DEFINITION *instance = reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(position);
            const std::wstring name(reinterpret_cast<const wchar_t *>(position + instance->NameOffset));
            const DWORD tag = std::stoul(name.substr(name.find(L'-') + 1));
            position += instance->ByteLength;
            LONGLONG first;
            std::memcpy(&first, position + 4, 8);
            for (int k = 0; k < 26; ++k)
            {
                LONGLONG value;
                std::memcpy(&value, position + 4 + 8 * k, 8);
                ASSERT_EQ(first, value) << "counter " << k << " of an instance from another update";
            }
            const DWORD high = static_cast<DWORD>(static_cast<ULONGLONG>(first) >> 32);
            ASSERT_TRUE(first == 0 || tag == (high ^ static_cast<DWORD>(first))) << "values of another instance here";
            position += 4 + 26 * 8;
        }
    }
    EXPECT_EQ(0u, server.Release());
    EXPECT_GE(changes, 20) << "the server must have taken and released instances while we collected";
}

namespace {

using Step = Win32::COptex::Step;

// The collector's side of the lock: once the collect holds it, a server thread queues for it, so
// that the collect's leave hands it over; at the moment the lock is let go, the server's values
// change, as they would under a server that takes the lock at once.
class CServerWritesOnRelease : public Win32::COptex::IHooks
{
public:
    CServerWritesOnRelease(PerfMon::CPerformanceDataBlock &server, BYTE *values) : m_server(server), m_values(values)
    {
    }

    void OnStep(Step step) override
    {
        if (step == Step::Claimed && !m_waiter.joinable())
        {
            m_server.SetLockHooks(&m_serverCounted);
            m_waiter = std::thread([this] {
                Win32::ICriticalSection::Owner owner(m_server);
            });
            m_serverCounted.Wait();
        }
        else if (step == Step::OwnerCleared)
        {
            const ULONGLONG changed = 0x5555555555555555ull;
            for (int k = 0; k < 26; ++k)
            {
                std::memcpy(m_values + 8 * k, &changed, sizeof(changed));
            }
        }
    }

    HANDLE OpenOwnerThread(DWORD access, DWORD threadId) override { return ::OpenThread(access, FALSE, threadId); }

    void Join() { m_waiter.join(); }

private:
    class CCounted : public Win32::COptex::IHooks
    {
    public:
        void OnStep(Step step) override
        {
            if (step == Step::Counted)
            {
                m_counted.Set();
            }
        }
        HANDLE OpenOwnerThread(DWORD access, DWORD threadId) override { return ::OpenThread(access, FALSE, threadId); }
        void Wait() const { m_counted.Wait(10000); }

    private:
        CNamedSignal m_counted;
    };

    PerfMon::CPerformanceDataBlock &m_server;
    BYTE *m_values;
    CCounted m_serverCounted;
    std::thread m_waiter;
};

} // namespace

// Values copied once the lock is let go could be another update's than the slots and names beside
// them: the answer holds the values from while the collect held the lock, whatever happens after.
TEST(CollectConcurrency, ValuesAreCopiedBeforeTheLockIsLetGo)
{
    const std::wstring base = UniqueName(L"HalyardRelease");
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(base), schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = server.GetObjectDefinition(0);
    DWORD created = 0;
    const DWORD id = server.AllocateObjectInstance(object, L"steady", created);
    BYTE *values = server.GetInstanceCounterData(object, static_cast<long>(id));
    const ULONGLONG held = 0x0123456789ABCDEFull;
    for (int k = 0; k < 26; ++k)
    {
        std::memcpy(values + 8 * k, &held, sizeof(held));
    }

    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(base), schema, 1000, nullptr);
    collector.Open(L"");
    CServerWritesOnRelease hooks(server, values);
    collector.SetLockHooks(&hooks);
    std::vector<BYTE> buffer(8192);
    const CollectResult r = CollectInto(collector, L"Global", buffer.data(), static_cast<DWORD>(buffer.size()));
    hooks.Join();
    collector.SetLockHooks(nullptr);
    ASSERT_TRUE(r.result);
    ASSERT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects));
    const PERF_OBJECT_TYPE *answer = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
    ASSERT_EQ(1, answer->NumInstances);
    const BYTE *instance = buffer.data() + answer->DefinitionLength;
    const BYTE *counters = instance + reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(instance)->ByteLength + 4;
    for (int k = 0; k < 26; ++k)
    {
        ULONGLONG value;
        std::memcpy(&value, counters + 8 * k, sizeof(value));
        EXPECT_EQ(held, value) << "counter " << k << " was copied after the lock was let go";
    }
}
