#pragma once

// A buffer that ends exactly where a no-access page begins, so that a single byte read or written
// past its end faults.

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace Halyard {
namespace Testing {

class CGuardedBuffer
{
public:
    explicit CGuardedBuffer(DWORD size)
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const DWORD page = info.dwPageSize;
        const DWORD pages = (size + page - 1) / page + 1;
        m_base = static_cast<BYTE *>(::VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(m_base + (pages - 1) * page, page, PAGE_NOACCESS, &old);
        m_data = m_base + (pages - 1) * page - size;
        m_size = size;
        std::memset(m_base, 0xCD, (pages - 1) * page);
    }
    // Holds a copy of the bytes, the last of them just before the no-access page.
    CGuardedBuffer(const void *bytes, DWORD size) : CGuardedBuffer(size)
    {
        if (size != 0)
        {
            std::memcpy(m_data, bytes, size);
        }
    }
    ~CGuardedBuffer() { ::VirtualFree(m_base, 0, MEM_RELEASE); }
    CGuardedBuffer(const CGuardedBuffer &) = delete;
    CGuardedBuffer &operator=(const CGuardedBuffer &) = delete;

    // From now on the buffer can be read, not written.
    void MakeReadOnly()
    {
        DWORD old = 0;
        ::VirtualProtect(m_base, static_cast<SIZE_T>(m_data + m_size - m_base), PAGE_READONLY, &old);
    }

    BYTE *Data() const { return m_data; }
    DWORD Size() const { return m_size; }

    // True while nothing has been written into the buffer.
    bool Untouched() const
    {
        return std::all_of(m_data, m_data + m_size, [](BYTE b) { return b == 0xCD; });
    }

private:
    BYTE *m_base = nullptr;
    BYTE *m_data = nullptr;
    DWORD m_size = 0;
};

} // namespace Testing
} // namespace Halyard
