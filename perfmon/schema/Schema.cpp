#include "perfmon/schema/Schema.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <winperf.h>

using Halyard::Win32::CException;
using Halyard::Win32::ToString;

namespace Halyard {
namespace PerfMon {

namespace {

const DWORD kNoInstances = static_cast<DWORD>(PERF_NO_INSTANCES);
const DWORD kCounterSize = 8;

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

// Sizes are computed in 64 bits and refused when they do not fit: a size that wrapped round would
// make the shared block too small for what is later written into it.
DWORD ToSize(const wchar_t *where, ULONGLONG size)
{
    if (size > MAXDWORD)
    {
        throw CException(where, L"Size does not fit in 32 bits: " + ToString(size));
    }
    return static_cast<DWORD>(size);
}

DWORD CheckedMaxInstances(DWORD maxInstances)
{
    // No slots at all would give the object counters without storage; PERF_NO_INSTANCES would turn
    // it into an object without instances.
    if (maxInstances == 0 || maxInstances == kNoInstances)
    {
        throw CException(L"CPerformanceDataSchema::Object::Object()",
                         L"Max instances must be from 1 to 4294967294, it's: " + ToString(maxInstances));
    }
    return maxInstances;
}

DWORD CheckedMaxInstanceNameLength(DWORD maxInstanceNameLength)
{
    if (maxInstanceNameLength == 0)
    {
        throw CException(L"CPerformanceDataSchema::Object::Object()",
                         L"Max instance name length must be more than 0, it's: " + ToString(maxInstanceNameLength));
    }
    return maxInstanceNameLength;
}

// The name and its NUL as UTF-16, rounded up to a multiple of 4 bytes; the slot header must still fit
// beside it in a 32-bit size.
DWORD InstanceNameSpace(DWORD maxInstanceNameLength)
{
    if (maxInstanceNameLength == 0)
    {
        return 0;
    }
    const ULONGLONG space = ((static_cast<ULONGLONG>(maxInstanceNameLength) + 1) * 2 + 3) & ~3ULL;
    if (space + sizeof(PERF_INSTANCE_DEFINITION) > MAXDWORD)
    {
        throw CException(L"CPerformanceDataSchema::Object::Object()",
                         L"Max instance name length is too long, it's: " + ToString(maxInstanceNameLength));
    }
    return static_cast<DWORD>(space);
}

} // namespace

bool CPerformanceDataSchema::OrdinalLess::operator()(const std::wstring &lhs, const std::wstring &rhs) const
{
    const size_t length = lhs.size() < rhs.size() ? lhs.size() : rhs.size();
    for (size_t i = 0; i < length; ++i)
    {
        const WORD left = static_cast<WORD>(lhs[i]);
        const WORD right = static_cast<WORD>(rhs[i]);
        if (left != right)
        {
            return left < right;
        }
    }
    return lhs.size() < rhs.size();
}

// Counter

CPerformanceDataSchema::Object::Counter::Counter(const std::wstring &languageId, const std::wstring &name,
                                                 const std::wstring &help, DWORD detailLevel, LONG defaultScale,
                                                 DWORD counterType)
    : m_detailLevel(detailLevel), m_defaultScale(defaultScale), m_counterType(counterType), m_languageId(languageId)
{
    m_texts[languageId] = Texts{name, help};
}

void CPerformanceDataSchema::Object::Counter::AddSupportedLanguage(const std::wstring &languageId,
                                                                   const std::wstring &name, const std::wstring &help)
{
    if (!m_texts.emplace(languageId, Texts{name, help}).second)
    {
        throw CException(L"CPerformanceDataSchema::Object::Counter::AddSupportedLanguage()",
                         L"Duplicate language id: " + Quoted(languageId));
    }
}

const CPerformanceDataSchema::Texts &CPerformanceDataSchema::Object::Counter::GetTexts(
    const std::wstring &languageId) const
{
    const auto it = m_texts.find(languageId);
    return it != m_texts.end() ? it->second : m_texts.at(m_languageId);
}

const std::wstring &CPerformanceDataSchema::Object::Counter::GetName() const
{
    return GetTexts(m_languageId).name;
}

const std::wstring &CPerformanceDataSchema::Object::Counter::GetName(const std::wstring &languageId) const
{
    return GetTexts(languageId).name;
}

const std::wstring &CPerformanceDataSchema::Object::Counter::GetHelp() const
{
    return GetTexts(m_languageId).help;
}

const std::wstring &CPerformanceDataSchema::Object::Counter::GetHelp(const std::wstring &languageId) const
{
    return GetTexts(languageId).help;
}

DWORD CPerformanceDataSchema::Object::Counter::GetCounterSize() const
{
    // Every counter takes 8 bytes, whatever its type; a 32-bit type reads the low half.
    return kCounterSize;
}

DWORD CPerformanceDataSchema::Object::Counter::GetDetailLevel() const
{
    return m_detailLevel;
}

LONG CPerformanceDataSchema::Object::Counter::GetDefaultScale() const
{
    return m_defaultScale;
}

DWORD CPerformanceDataSchema::Object::Counter::GetCounterType() const
{
    return m_counterType;
}

const std::wstring &CPerformanceDataSchema::Object::Counter::GetLanguageId() const
{
    return m_languageId;
}

// Object

CPerformanceDataSchema::Object::Object(const std::wstring &languageId, const std::wstring &name,
                                       const std::wstring &help, DWORD detailLevel)
    : m_languageId(languageId),
      m_detailLevel(detailLevel),
      m_maxInstances(kNoInstances),
      m_maxInstanceNameLength(0),
      m_instanceNameSpace(0),
      m_defaultCounter(0)
{
    m_texts[languageId] = Texts{name, help};
}

CPerformanceDataSchema::Object::Object(const std::wstring &languageId, const std::wstring &name,
                                       const std::wstring &help, DWORD detailLevel, DWORD maxInstances)
    : m_languageId(languageId),
      m_detailLevel(detailLevel),
      m_maxInstances(CheckedMaxInstances(maxInstances)),
      m_maxInstanceNameLength(0),
      m_instanceNameSpace(0),
      m_defaultCounter(0)
{
    m_texts[languageId] = Texts{name, help};
}

CPerformanceDataSchema::Object::Object(const std::wstring &languageId, const std::wstring &name,
                                       const std::wstring &help, DWORD detailLevel, DWORD maxInstances,
                                       DWORD maxInstanceNameLength)
    : m_languageId(languageId),
      m_detailLevel(detailLevel),
      m_maxInstances(CheckedMaxInstances(maxInstances)),
      m_maxInstanceNameLength(CheckedMaxInstanceNameLength(maxInstanceNameLength)),
      m_instanceNameSpace(InstanceNameSpace(maxInstanceNameLength)),
      m_defaultCounter(0)
{
    m_texts[languageId] = Texts{name, help};
}

void CPerformanceDataSchema::Object::AddCounter(const std::wstring &name, const std::wstring &help, DWORD detailLevel,
                                                LONG defaultScale, DWORD counterType)
{
    static const wchar_t *const where = L"CPerformanceDataSchema::Object::AddCounter()";
    if (m_counterNames.count(name) != 0)
    {
        throw CException(where, L"Duplicate counter name: " + Quoted(name));
    }
    if (m_counters.size() >= MAXDWORD)
    {
        throw CException(where, L"Too many counters");
    }
    auto counter = std::make_unique<Counter>(m_languageId, name, help, detailLevel, defaultScale, counterType);
    // Room first, so that a failed insertion cannot leave the counter without its name or the other way round.
    m_counters.reserve(m_counters.size() + 1);
    m_counterNames.insert(name);
    m_counters.push_back(std::move(counter));
}

void CPerformanceDataSchema::Object::SetDefaultCounter()
{
    if (m_defaultCounter != 0)
    {
        throw CException(L"CPerformanceDataSchema::Object::SetDefaultCounter()",
                         L"Default counter already set to: " + ToString(m_defaultCounter));
    }
    m_defaultCounter = static_cast<DWORD>(m_counters.size());
}

void CPerformanceDataSchema::Object::AddSupportedLanguage(const std::wstring &languageId, const std::wstring &name,
                                                          const std::wstring &help)
{
    if (!m_texts.emplace(languageId, Texts{name, help}).second)
    {
        throw CException(L"CPerformanceDataSchema::Object::AddSupportedLanguage()",
                         L"Duplicate language id: " + Quoted(languageId));
    }
}

void CPerformanceDataSchema::Object::AddCounterSupportedLanguage(const std::wstring &languageId,
                                                                 const std::wstring &name, const std::wstring &help)
{
    if (m_counters.empty())
    {
        throw CException(L"CPerformanceDataSchema::Object::AddCounterSupportedLanguage()", L"No counter added yet");
    }
    m_counters.back()->AddSupportedLanguage(languageId, name, help);
}

void CPerformanceDataSchema::Object::ValidateSchema() const
{
    if (m_counters.empty())
    {
        throw CException(L"CPerformanceDataSchema::Object::ValidateSchema()", L"Objects must have at least one counter");
    }
}

DWORD CPerformanceDataSchema::Object::GetDefinitionSize() const
{
    ULONGLONG size = sizeof(PERF_OBJECT_TYPE) + static_cast<ULONGLONG>(sizeof(PERF_COUNTER_DEFINITION)) * m_counters.size();
    if (HasInstances())
    {
        size += (sizeof(PERF_INSTANCE_DEFINITION) + static_cast<ULONGLONG>(m_instanceNameSpace)) * m_maxInstances;
    }
    return ToSize(L"CPerformanceDataSchema::Object::GetDefinitionSize()", size);
}

DWORD CPerformanceDataSchema::Object::GetCounterDataSize() const
{
    static const wchar_t *const where = L"CPerformanceDataSchema::Object::GetCounterDataSize()";
    ULONGLONG perInstance = 0;
    for (const auto &counter : m_counters)
    {
        perInstance += counter->GetCounterSize();
    }
    const DWORD oneSet = ToSize(where, perInstance);
    return ToSize(where, static_cast<ULONGLONG>(oneSet) * (HasInstances() ? m_maxInstances : 1));
}

DWORD CPerformanceDataSchema::Object::GetRequiredSize() const
{
    return ToSize(L"CPerformanceDataSchema::Object::GetRequiredSize()",
                  static_cast<ULONGLONG>(GetDefinitionSize()) + GetCounterDataSize());
}

const CPerformanceDataSchema::Texts &CPerformanceDataSchema::Object::GetTexts(const std::wstring &languageId) const
{
    const auto it = m_texts.find(languageId);
    return it != m_texts.end() ? it->second : m_texts.at(m_languageId);
}

const std::wstring &CPerformanceDataSchema::Object::GetName() const
{
    return GetTexts(m_languageId).name;
}

const std::wstring &CPerformanceDataSchema::Object::GetName(const std::wstring &languageId) const
{
    return GetTexts(languageId).name;
}

const std::wstring &CPerformanceDataSchema::Object::GetHelp() const
{
    return GetTexts(m_languageId).help;
}

const std::wstring &CPerformanceDataSchema::Object::GetHelp(const std::wstring &languageId) const
{
    return GetTexts(languageId).help;
}

void CPerformanceDataSchema::Object::GetCounterNames(Strings &names) const
{
    GetCounterNames(m_languageId, names);
}

void CPerformanceDataSchema::Object::GetCounterNames(const std::wstring &languageId, Strings &names) const
{
    names.clear();
    names.reserve(m_counters.size());
    for (const auto &counter : m_counters)
    {
        names.push_back(counter->GetName(languageId));
    }
}

void CPerformanceDataSchema::Object::GetCounterHelp(Strings &help) const
{
    GetCounterHelp(m_languageId, help);
}

void CPerformanceDataSchema::Object::GetCounterHelp(const std::wstring &languageId, Strings &help) const
{
    help.clear();
    help.reserve(m_counters.size());
    for (const auto &counter : m_counters)
    {
        help.push_back(counter->GetHelp(languageId));
    }
}

const std::wstring &CPerformanceDataSchema::Object::GetLanguageId() const
{
    return m_languageId;
}

DWORD CPerformanceDataSchema::Object::GetDetailLevel() const
{
    return m_detailLevel;
}

DWORD CPerformanceDataSchema::Object::GetMaxInstances() const
{
    return m_maxInstances;
}

DWORD CPerformanceDataSchema::Object::GetMaxInstanceNameLength() const
{
    return m_maxInstanceNameLength;
}

DWORD CPerformanceDataSchema::Object::GetInstanceNameSpace() const
{
    return m_instanceNameSpace;
}

const CPerformanceDataSchema::Object::Counters &CPerformanceDataSchema::Object::GetCounters() const
{
    return m_counters;
}

DWORD CPerformanceDataSchema::Object::GetDefaultCounter() const
{
    return m_defaultCounter;
}

bool CPerformanceDataSchema::Object::HasInstances() const
{
    return m_maxInstances != kNoInstances;
}

// CPerformanceDataSchema

CPerformanceDataSchema::CPerformanceDataSchema(const std::wstring &languageId)
    : m_languageId(languageId)
{
    m_supportedLanguages.insert(languageId);
}

void CPerformanceDataSchema::CheckNewObjectName(const wchar_t *where, const std::wstring &name) const
{
    if (m_objectNames.count(name) != 0)
    {
        throw CException(where, L"Duplicate object name: " + Quoted(name));
    }
}

CPerformanceDataSchema::Object &CPerformanceDataSchema::Append(std::unique_ptr<Object> object, const std::wstring &name)
{
    // Room first, so that a failed insertion cannot leave the object without its name or the other way round.
    m_objects.reserve(m_objects.size() + 1);
    m_objectNames.insert(name);
    m_objects.push_back(std::move(object));
    return *m_objects.back();
}

CPerformanceDataSchema::Object &CPerformanceDataSchema::AddObject(const std::wstring &name, const std::wstring &help,
                                                                  DWORD detailLevel)
{
    CheckNewObjectName(L"CPerformanceDataSchema::AddObject()", name);
    return Append(std::make_unique<Object>(m_languageId, name, help, detailLevel), name);
}

CPerformanceDataSchema::Object &CPerformanceDataSchema::AddObjectWithInstances(const std::wstring &name,
                                                                               const std::wstring &help,
                                                                               DWORD detailLevel, DWORD maxInstances,
                                                                               DWORD maxInstanceNameLength)
{
    CheckNewObjectName(L"CPerformanceDataSchema::AddObjectWithInstances()", name);
    return Append(
        std::make_unique<Object>(m_languageId, name, help, detailLevel, maxInstances, maxInstanceNameLength), name);
}

CPerformanceDataSchema::Object &CPerformanceDataSchema::AddObjectWithInstances(const std::wstring &name,
                                                                               const std::wstring &help,
                                                                               DWORD detailLevel, DWORD maxInstances)
{
    CheckNewObjectName(L"CPerformanceDataSchema::AddObjectWithInstances()", name);
    return Append(std::make_unique<Object>(m_languageId, name, help, detailLevel, maxInstances), name);
}

void CPerformanceDataSchema::AddSupportedLanguage(const std::wstring &languageId)
{
    if (!m_supportedLanguages.insert(languageId).second)
    {
        throw CException(L"CPerformanceDataSchema::AddSupportedLanguage()",
                         L"Duplicate language id: " + Quoted(languageId));
    }
}

void CPerformanceDataSchema::ValidateSchema() const
{
    if (m_objects.empty())
    {
        throw CException(L"CPerformanceDataSchema::ValidateSchema()", L"Schema must have at least one object");
    }
    for (const auto &object : m_objects)
    {
        object->ValidateSchema();
    }
}

DWORD CPerformanceDataSchema::GetObjectCount() const
{
    return static_cast<DWORD>(m_objects.size());
}

DWORD CPerformanceDataSchema::GetObjectDefinitionsSize() const
{
    ValidateSchema();
    ULONGLONG size = 0;
    for (const auto &object : m_objects)
    {
        size += object->GetDefinitionSize();
    }
    return ToSize(L"CPerformanceDataSchema::GetObjectDefinitionsSize()", size);
}

DWORD CPerformanceDataSchema::GetCounterDataSize() const
{
    ValidateSchema();
    ULONGLONG size = 0;
    for (const auto &object : m_objects)
    {
        size += object->GetCounterDataSize();
    }
    return ToSize(L"CPerformanceDataSchema::GetCounterDataSize()", size);
}

DWORD CPerformanceDataSchema::GetRequiredSize() const
{
    ValidateSchema();
    ULONGLONG size = 0;
    for (const auto &object : m_objects)
    {
        size += object->GetRequiredSize();
    }
    return ToSize(L"CPerformanceDataSchema::GetRequiredSize()", size);
}

void CPerformanceDataSchema::GetSupportedLanguages(Strings &languageIds) const
{
    languageIds.assign(m_supportedLanguages.begin(), m_supportedLanguages.end());
}

const std::wstring &CPerformanceDataSchema::GetLanguageId() const
{
    return m_languageId;
}

const CPerformanceDataSchema::Objects &CPerformanceDataSchema::GetObjects() const
{
    return m_objects;
}

} // namespace PerfMon
} // namespace Halyard
