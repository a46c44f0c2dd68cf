#pragma once

#include <windows.h>

namespace Halyard {
namespace Win32 {

// A lock. Held through the nested scoped holders.
class ICriticalSection
{
public:
    virtual bool TryEnter() = 0;
    virtual void Enter() = 0;
    virtual void Leave() = 0;
    virtual ~ICriticalSection();

    class Owner;
    class ConditionalOwner;
    class PotentialOwner;
};

// Holds the lock for its whole life.
class ICriticalSection::Owner
{
public:
    explicit Owner(ICriticalSection &lock);
    ~Owner();

    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;

private:
    ICriticalSection &m_lock;
};

// Holds the lock from construction when asked to, until Leave or destruction.
class ICriticalSection::ConditionalOwner
{
public:
    ConditionalOwner(ICriticalSection &lock, bool enter);
    ~ConditionalOwner();

    ConditionalOwner(const ConditionalOwner &) = delete;
    ConditionalOwner &operator=(const ConditionalOwner &) = delete;

    void Leave();

private:
    ICriticalSection &m_lock;
    bool m_held;
};

// Holds the lock once Enter or a successful TryEnter has taken it; leaves it when destroyed.
class ICriticalSection::PotentialOwner
{
public:
    explicit PotentialOwner(ICriticalSection &lock);
    ~PotentialOwner();

    PotentialOwner(const PotentialOwner &) = delete;
    PotentialOwner &operator=(const PotentialOwner &) = delete;

    void Enter();
    bool TryEnter();
    void Leave();

private:
    ICriticalSection &m_lock;
    bool m_held;
};

// The platform's in-process critical section.
class CCriticalSection : public ICriticalSection
{
public:
    CCriticalSection();
    explicit CCriticalSection(DWORD spinCount);
    ~CCriticalSection() override;

    CCriticalSection(const CCriticalSection &) = delete;
    CCriticalSection &operator=(const CCriticalSection &) = delete;

    // Returns the previous spin count.
    DWORD SetSpinCount(DWORD spinCount);

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;

private:
    CRITICAL_SECTION m_section;
};

} // namespace Win32
} // namespace Halyard
