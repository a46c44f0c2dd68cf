#pragma once

#include "win32/RegistryKey.h"

#include <exception>
#include <optional>
#include <string>

// The product's key HKLM\SYSTEM\CurrentControlSet\Services\<product>\Performance, opened once for
// the settings read together: while the module attaches, the crash dump folder, the first counter
// index and the lock time-out. Opening never throws, so a missing key cannot fail the load; each
// reader decides what a missing key means, and one that needs the key gets the open's own failure.
// Only values are read, so only the right to query them is asked for.
class CPerformanceKey
{
public:
    explicit CPerformanceKey(const std::wstring &productName);

    bool IsOpen() const;
    // The open key; throws what the open threw when it could not be opened.
    const Halyard::Win32::CRegistryKey &Get() const;

private:
    std::optional<Halyard::Win32::CRegistryKey> m_key;
    std::exception_ptr m_failure;
};
