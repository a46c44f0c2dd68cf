#pragma once

#include "win32/Exception.h"

#include <windows.h>

#include <utility>

namespace Halyard {
namespace Win32 {

// Owns a block that the platform allocated for the caller with LocalAlloc (a security descriptor,
// a SID as text, a split command line) and frees it with LocalFree, keeping the thread's last
// error. Movable, not copyable.
template <typename T>
class TLocalMemory
{
public:
    explicit TLocalMemory(T *memory = nullptr) noexcept : m_memory(memory) {}
    TLocalMemory(TLocalMemory &&rhs) noexcept : m_memory(std::exchange(rhs.m_memory, nullptr)) {}
    TLocalMemory &operator=(TLocalMemory &&rhs) noexcept
    {
        if (this != &rhs)
        {
            Free();
            m_memory = std::exchange(rhs.m_memory, nullptr);
        }
        return *this;
    }
    TLocalMemory(const TLocalMemory &) = delete;
    TLocalMemory &operator=(const TLocalMemory &) = delete;
    ~TLocalMemory() { Free(); }

    T *Get() const noexcept { return m_memory; }
    bool IsValid() const noexcept { return m_memory != nullptr; }
    // Where a platform call that allocates stores its result; frees what was held first.
    T **Receive() noexcept
    {
        Free();
        return &m_memory;
    }

private:
    void Free() noexcept
    {
        if (m_memory != nullptr)
        {
            const CLastErrorKeeper lastError;
            ::LocalFree(m_memory);
            m_memory = nullptr;
        }
    }

    T *m_memory;
};

} // namespace Win32
} // namespace Halyard
