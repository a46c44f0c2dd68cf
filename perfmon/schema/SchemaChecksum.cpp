// The schema's checksum: the digest of a text that every part of the schema adds to, recorded at
// installation to tell whether an installed counter set is this one.
#include "perfmon/schema/Schema.h"

#include "win32/Digest.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

using Halyard::Win32::CException;
using Halyard::Win32::ToString;

namespace Halyard {
namespace PerfMon {

std::wstring CPerformanceDataSchema::GetChecksum() const
{
    std::wstring text = L"CPerformanceDataSchema:v1.0:";
    for (const auto &object : m_objects)
    {
        text += L"[";
        for (const auto &entry : object->m_texts)
        {
            text += entry.first + L"|" + entry.second.name + L"|" + entry.second.help + L"|";
        }
        text += ToString(static_cast<LONG>(object->m_detailLevel)) + L":" + ToString(object->m_maxInstances) + L":" +
                ToString(object->m_maxInstanceNameLength) + L":" + ToString(object->m_defaultCounter) + L":" +
                ToString(static_cast<DWORD>(object->m_counters.size()));
        text += L"[";
        for (const auto &counter : object->m_counters)
        {
            text += counter->GetName(object->m_languageId) + L"|";
        }
        text += L"-";
        for (const auto &counter : object->m_counters)
        {
            text += counter->GetHelp(object->m_languageId) + L"|";
        }
        for (const auto &counter : object->m_counters)
        {
            text += L"{" + ToString(static_cast<LONG>(counter->GetDetailLevel())) + L":" +
                    ToString(counter->GetDefaultScale()) + L":" + ToString(static_cast<LONG>(counter->GetCounterType())) +
                    L"}";
        }
        text += L"]]";
    }

    // The digest input is the text's UTF-16LE code units, which is how wchar_t strings lie in memory here.
    static_assert(sizeof(wchar_t) == 2, "wchar_t must be a UTF-16 code unit");
    const ULONGLONG byteCount = static_cast<ULONGLONG>(text.size()) * sizeof(wchar_t);
    if (byteCount > MAXDWORD)
    {
        throw CException(L"CPerformanceDataSchema::GetChecksum()", L"Schema data is too long.");
    }
    BYTE digest[16];
    Win32::GetMD5Digest(reinterpret_cast<const BYTE *>(text.data()), static_cast<DWORD>(byteCount), digest,
                        sizeof(digest));
    return Win32::ToHexStringW(digest, sizeof(digest), Win32::HexUpperCase);
}

bool CPerformanceDataSchema::ChecksumMatches(const std::wstring &checksum) const
{
    return GetChecksum() == checksum;
}

} // namespace PerfMon
} // namespace Halyard
