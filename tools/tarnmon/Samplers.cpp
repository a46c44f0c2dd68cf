#include "tools/tarnmon/Samplers.h"

#include "tools/perfclient/PerfData.h"

namespace Halyard {
namespace TarnMon {

namespace {

SYSTEMTIME LocalNow()
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return now;
}

} // namespace

CLibrarySampler::CLibrarySampler(DWORD firstCounter) : m_firstCounter(firstCounter)
{
}

std::optional<Sample> CLibrarySampler::Take()
{
    const PerfClient::CPerformanceData data =
        PerfClient::CPerformanceData::Parse(PerfClient::QueryPerformanceData(std::to_wstring(m_firstCounter)));
    const PerfClient::CPerformanceData::Object *object = data.FindObject(m_firstCounter);
    if (object == nullptr)
    {
        return std::nullopt;
    }
    return ExtractSample(*object, m_firstCounter, data.GetHeader().PerfTime.QuadPart,
                         data.GetHeader().PerfFreq.QuadPart, LocalNow());
}

CDirectSampler::CDirectSampler(const std::wstring &path, DWORD firstCounter)
    : m_provider(path), m_firstCounter(firstCounter), m_opened(m_provider.Open(L"") == ERROR_SUCCESS)
{
}

CDirectSampler::~CDirectSampler()
{
    if (m_opened)
    {
        m_provider.Close();
    }
}

std::optional<Sample> CDirectSampler::Take()
{
    if (!m_opened)
    {
        return std::nullopt;
    }
    for (DWORD size = 64 * 1024; size <= 16 * 1024 * 1024; size *= 2)
    {
        LARGE_INTEGER before;
        LARGE_INTEGER after;
        LARGE_INTEGER frequency;
        ::QueryPerformanceCounter(&before);
        const PerfClient::CDirectProvider::CollectResult result =
            m_provider.Collect(std::to_wstring(m_firstCounter), size);
        ::QueryPerformanceCounter(&after);
        ::QueryPerformanceFrequency(&frequency);
        if (result.result == ERROR_MORE_DATA)
        {
            continue;
        }
        if (result.result != ERROR_SUCCESS || result.overran || result.bytes > size)
        {
            return std::nullopt;
        }
        for (const PerfClient::CPerformanceData::Object &object :
             PerfClient::CPerformanceData::ParseObjects(result.data.data(), result.bytes, result.objects))
        {
            if (object.header.ObjectNameTitleIndex == m_firstCounter)
            {
                return ExtractSample(object, m_firstCounter, before.QuadPart + (after.QuadPart - before.QuadPart) / 2,
                                     frequency.QuadPart, LocalNow());
            }
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace TarnMon
} // namespace Halyard
