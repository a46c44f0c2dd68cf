#pragma once

#include <windows.h>

namespace Halyard {
namespace Win32 {

// Owns one mapped view of a file mapping: unmapped when the owner goes. Movable, not copyable.
class CMappedView
{
public:
    CMappedView() noexcept;
    explicit CMappedView(void *address) noexcept;
    CMappedView(CMappedView &&rhs) noexcept;
    CMappedView &operator=(CMappedView &&rhs) noexcept;
    CMappedView(const CMappedView &) = delete;
    CMappedView &operator=(const CMappedView &) = delete;

    // Unmaps, keeping the thread's last error.
    ~CMappedView();

    void *Get() const noexcept;
    bool IsValid() const noexcept;
    void Unmap() noexcept;

    // Size in bytes of the pages mapped from the view's start (whole pages).
    SIZE_T GetRegionSize() const;

private:
    void *m_address;
};

} // namespace Win32
} // namespace Halyard
