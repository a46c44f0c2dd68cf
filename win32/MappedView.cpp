#include "win32/MappedView.h"

#include "win32/Exception.h"

#include <utility>

namespace Halyard {
namespace Win32 {

CMappedView::CMappedView() noexcept
    : m_address(nullptr)
{
}

CMappedView::CMappedView(void *address) noexcept
    : m_address(address)
{
}

CMappedView::CMappedView(CMappedView &&rhs) noexcept
    : m_address(std::exchange(rhs.m_address, nullptr))
{
}

CMappedView &CMappedView::operator=(CMappedView &&rhs) noexcept
{
    if (this != &rhs)
    {
        Unmap();
        m_address = std::exchange(rhs.m_address, nullptr);
    }
    return *this;
}

CMappedView::~CMappedView()
{
    Unmap();
}

void *CMappedView::Get() const noexcept
{
    return m_address;
}

bool CMappedView::IsValid() const noexcept
{
    return m_address != nullptr;
}

void CMappedView::Unmap() noexcept
{
    if (m_address != nullptr)
    {
        const CLastErrorKeeper lastError;
        ::UnmapViewOfFile(m_address);
        m_address = nullptr;
    }
}

SIZE_T CMappedView::GetRegionSize() const
{
    MEMORY_BASIC_INFORMATION info = {};
    if (::VirtualQuery(m_address, &info, sizeof(info)) != sizeof(info))
    {
        throw CWin32Exception(L"CMappedView::GetRegionSize() - VirtualQuery", ::GetLastError());
    }
    return info.RegionSize;
}

} // namespace Win32
} // namespace Halyard
