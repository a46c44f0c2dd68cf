#pragma once

#include <windows.h>

namespace Halyard {
namespace Win32 {

// One thread-local slot: each thread sees its own pointer, null until it sets one.
class CThreadLocalStorage
{
public:
    CThreadLocalStorage();
    ~CThreadLocalStorage();

    CThreadLocalStorage(const CThreadLocalStorage &) = delete;
    CThreadLocalStorage &operator=(const CThreadLocalStorage &) = delete;

    void *GetValue() const;
    void SetValue(void *value);

private:
    DWORD m_index;
    bool m_allocated;
};

} // namespace Win32
} // namespace Halyard
