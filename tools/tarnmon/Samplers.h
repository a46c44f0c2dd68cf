#pragma once

// The two ways tarnmon collects the TARN object: as every monitor does, and by calling a provider
// module's exports directly.

#include "tools/perfclient/DirectProvider.h"
#include "tools/tarnmon/CounterCooking.h"

#include <windows.h>

#include <optional>
#include <string>

namespace Halyard {
namespace TarnMon {

// One way of collecting the TARN object; empty when the provider returned no TARN object.
class ISampler
{
public:
    virtual ~ISampler() = default;
    virtual std::optional<Sample> Take() = 0;
};

// Through HKEY_PERFORMANCE_DATA, as every monitor does; the time base is the data block's.
class CLibrarySampler : public ISampler
{
public:
    explicit CLibrarySampler(DWORD firstCounter);

    std::optional<Sample> Take() override;

private:
    DWORD m_firstCounter;
};

// The module's own exports, called as the performance library calls them; the time base is the
// performance counter, read around each collect.
class CDirectSampler : public ISampler
{
public:
    CDirectSampler(const std::wstring &path, DWORD firstCounter);
    ~CDirectSampler() override;
    CDirectSampler(const CDirectSampler &) = delete;
    CDirectSampler &operator=(const CDirectSampler &) = delete;

    std::optional<Sample> Take() override;

private:
    PerfClient::CDirectProvider m_provider;
    DWORD m_firstCounter;
    bool m_opened;
};

} // namespace TarnMon
} // namespace Halyard
