// Lock costs: an uncontended Enter/Leave round trip, and a hand-off between two threads that take
// turns, for the optex (process-local and shared) against the platform's critical section and
// slim reader/writer lock. Ratios are against the critical section measured in the same run.
#include "harness/Bench.h"

#include "win32/CriticalSection.h"
#include "win32/KernelObjectName.h"
#include "win32/Optex.h"

#include <windows.h>

#include <string>
#include <thread>

using Halyard::Bench::CBench;
using namespace Halyard::Win32;

namespace {

const DWORD kSpinCount = 4000;
const std::uint64_t kUncontendedOperations = 1000000;
const std::uint64_t kHandOffOperations = 20000;

// The platform's locks behind the same two calls as ours.
class PlatformCriticalSection
{
public:
    PlatformCriticalSection() { ::InitializeCriticalSectionAndSpinCount(&m_section, kSpinCount); }
    ~PlatformCriticalSection() { ::DeleteCriticalSection(&m_section); }
    void Enter() { ::EnterCriticalSection(&m_section); }
    void Leave() { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

class PlatformSlimLock
{
public:
    void Enter() { ::AcquireSRWLockExclusive(&m_lock); }
    void Leave() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Calls through the interface, as code holding an ICriticalSection reference does.
class ThroughInterface
{
public:
    explicit ThroughInterface(ICriticalSection &lock) : m_lock(lock) {}
    void Enter() { m_lock.Enter(); }
    void Leave() { m_lock.Leave(); }

private:
    ICriticalSection &m_lock;
};

template <typename Lock>
void Uncontended(Lock &lock, std::uint64_t operations)
{
    for (std::uint64_t i = 0; i < operations; ++i)
    {
        lock.Enter();
        lock.Leave();
    }
}

// Two threads pass the lock back and forth: each waits, under the lock, for its turn, so every
// operation is one transfer of ownership to the other thread.
template <typename Lock>
void HandOff(Lock &lock, std::uint64_t operations)
{
    volatile LONG turn = 0;
    auto player = [&lock, &turn, operations](LONG me) {
        for (std::uint64_t done = 0; done < operations / 2;)
        {
            lock.Enter();
            if (turn == me)
            {
                turn = 1 - me;
                ++done;
            }
            lock.Leave();
        }
    };
    std::thread other(player, 1);
    player(0);
    other.join();
}

} // namespace

int main()
{
    const std::wstring sharedName = L"HalyardBenchLocks_" + std::to_wstring(::GetCurrentProcessId());
    PlatformCriticalSection criticalSection;
    PlatformSlimLock slimLock;
    COptex localOptex(kSpinCount);
    COptex sharedOptex(CUnqualifiedName(sharedName), nullptr, kSpinCount);
    CCriticalSection wrappedSection(kSpinCount);
    ThroughInterface localOptexInterface(localOptex);

    {
        CBench bench("uncontended Enter/Leave round trip");
        bench.Measure("CRITICAL_SECTION", kUncontendedOperations,
                      [&](std::uint64_t n) { Uncontended(criticalSection, n); });
        bench.Measure("SRWLOCK exclusive", "CRITICAL_SECTION", kUncontendedOperations,
                      [&](std::uint64_t n) { Uncontended(slimLock, n); });
        bench.Measure("COptex local", "CRITICAL_SECTION", kUncontendedOperations,
                      [&](std::uint64_t n) { Uncontended(localOptex, n); });
        bench.Measure("COptex shared", "CRITICAL_SECTION", kUncontendedOperations,
                      [&](std::uint64_t n) { Uncontended(sharedOptex, n); });
        bench.Measure("COptex local via ICriticalSection", "CRITICAL_SECTION", kUncontendedOperations,
                      [&](std::uint64_t n) { Uncontended(localOptexInterface, n); });
        bench.Measure("CCriticalSection", "CRITICAL_SECTION", kUncontendedOperations,
                      [&](std::uint64_t n) { Uncontended(wrappedSection, n); });
    }
    {
        CBench bench("two-thread hand-off, per transfer", 15, 1);
        bench.Measure("CRITICAL_SECTION", kHandOffOperations, [&](std::uint64_t n) { HandOff(criticalSection, n); });
        bench.Measure("SRWLOCK exclusive", "CRITICAL_SECTION", kHandOffOperations,
                      [&](std::uint64_t n) { HandOff(slimLock, n); });
        bench.Measure("COptex local", "CRITICAL_SECTION", kHandOffOperations,
                      [&](std::uint64_t n) { HandOff(localOptex, n); });
        bench.Measure("COptex shared", "CRITICAL_SECTION", kHandOffOperations,
                      [&](std::uint64_t n) { HandOff(sharedOptex, n); });
    }
    return 0;
}
