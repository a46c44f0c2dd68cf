#pragma once

#include "win32/RegistryKey.h"

#include <string>
#include <vector>

namespace Halyard {
namespace PerfMon {

// One key under HKEY_LOCAL_MACHINE as it was before an installation wrote to it, and the means to
// put it back: a key that did not exist is deleted with everything in it; a key that did gets its
// values back exactly and loses the values added since.
class CKeySnapshot
{
public:
    CKeySnapshot(const std::wstring &path, bool withValues);

    // Never throws: it runs while another failure is being reported.
    void Restore() const;

private:
    bool WasThere(const std::wstring &name) const;

    std::wstring m_path;
    bool m_existed;
    bool m_withValues;
    std::vector<Win32::CRegistryKey::Value> m_values;
};

} // namespace PerfMon
} // namespace Halyard
