#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Halyard {
namespace PerfMon {

class IAllocateCounterStorage;

// The description of a counter set that server and provider both build by the same calls: everything
// they must agree on (the shared block's size and layout, title indexes, the installed checksum)
// is derived from it. Built once, then only read.
class CPerformanceDataSchema
{
public:
    // Orders strings by their UTF-16 code units as unsigned values, case-sensitively.
    struct OrdinalLess
    {
        bool operator()(const std::wstring &lhs, const std::wstring &rhs) const;
    };

    typedef std::vector<std::wstring> Strings;

private:
    struct Texts
    {
        std::wstring name;
        std::wstring help;
    };

    typedef std::map<std::wstring, Texts, OrdinalLess> TextsByLanguage;

public:
    class Object
    {
    public:
        class Counter
        {
        public:
            Counter(const std::wstring &languageId, const std::wstring &name, const std::wstring &help,
                    DWORD detailLevel, LONG defaultScale, DWORD counterType);

            Counter(const Counter &rhs) = delete;
            Counter &operator=(const Counter &rhs) = delete;

            void AddSupportedLanguage(const std::wstring &languageId, const std::wstring &name,
                                      const std::wstring &help);

            const std::wstring &GetName() const;
            const std::wstring &GetName(const std::wstring &languageId) const;
            const std::wstring &GetHelp() const;
            const std::wstring &GetHelp(const std::wstring &languageId) const;

            DWORD GetCounterSize() const;
            DWORD GetDetailLevel() const;
            LONG GetDefaultScale() const;
            DWORD GetCounterType() const;
            const std::wstring &GetLanguageId() const;

        private:
            const Texts &GetTexts(const std::wstring &languageId) const;

            const DWORD m_detailLevel;
            const LONG m_defaultScale;
            const DWORD m_counterType;
            const std::wstring m_languageId;
            TextsByLanguage m_texts;
        };

        typedef std::vector<std::unique_ptr<Counter>> Counters;

        // Without instances.
        Object(const std::wstring &languageId, const std::wstring &name, const std::wstring &help,
               DWORD detailLevel);

        // With instances identified by number.
        Object(const std::wstring &languageId, const std::wstring &name, const std::wstring &help,
               DWORD detailLevel, DWORD maxInstances);

        // With instances identified by name.
        Object(const std::wstring &languageId, const std::wstring &name, const std::wstring &help,
               DWORD detailLevel, DWORD maxInstances, DWORD maxInstanceNameLength);

        Object(const Object &rhs) = delete;
        Object &operator=(const Object &rhs) = delete;

        void AddCounter(const std::wstring &name, const std::wstring &help, DWORD detailLevel, LONG defaultScale,
                        DWORD counterType);

        // Makes the counter added last the default counter.
        void SetDefaultCounter();

        void AddSupportedLanguage(const std::wstring &languageId, const std::wstring &name, const std::wstring &help);

        // Adds texts in another language to the counter added last.
        void AddCounterSupportedLanguage(const std::wstring &languageId, const std::wstring &name,
                                         const std::wstring &help);

        void ValidateSchema() const;

        // Writes the object's definition template at the start of the buffer and returns its length;
        // titleIndex is advanced by 2 + 2 x counters.
        DWORD WriteTo(void *buffer, DWORD bufferSize, DWORD &titleIndex, IAllocateCounterStorage &allocator) const;

        DWORD GetDefinitionSize() const;
        DWORD GetCounterDataSize() const;
        DWORD GetRequiredSize() const;

        const std::wstring &GetName() const;
        const std::wstring &GetName(const std::wstring &languageId) const;
        const std::wstring &GetHelp() const;
        const std::wstring &GetHelp(const std::wstring &languageId) const;

        void GetCounterNames(Strings &names) const;
        void GetCounterNames(const std::wstring &languageId, Strings &names) const;
        void GetCounterHelp(Strings &help) const;
        void GetCounterHelp(const std::wstring &languageId, Strings &help) const;

        const std::wstring &GetLanguageId() const;
        DWORD GetDetailLevel() const;
        // PERF_NO_INSTANCES (0xFFFFFFFF) for an object without instances.
        DWORD GetMaxInstances() const;
        DWORD GetMaxInstanceNameLength() const;
        // Bytes reserved after each instance slot for its name.
        DWORD GetInstanceNameSpace() const;
        const Counters &GetCounters() const;
        // 1-based position of the default counter; 0 when none was chosen.
        DWORD GetDefaultCounter() const;

        bool HasInstances() const;

    private:
        // The checksum renders the object's texts in every language.
        friend class CPerformanceDataSchema;

        const Texts &GetTexts(const std::wstring &languageId) const;

        const std::wstring m_languageId;
        TextsByLanguage m_texts;
        const DWORD m_detailLevel;
        const DWORD m_maxInstances;
        const DWORD m_maxInstanceNameLength;
        const DWORD m_instanceNameSpace;
        Counters m_counters;
        std::set<std::wstring, OrdinalLess> m_counterNames;
        DWORD m_defaultCounter;
    };

    typedef std::vector<std::unique_ptr<Object>> Objects;

    explicit CPerformanceDataSchema(const std::wstring &languageId);

    CPerformanceDataSchema(const CPerformanceDataSchema &rhs) = delete;
    CPerformanceDataSchema &operator=(const CPerformanceDataSchema &rhs) = delete;

    // Objects are held by pointer, so references to them survive a move.
    CPerformanceDataSchema(CPerformanceDataSchema &&rhs) = default;
    CPerformanceDataSchema &operator=(CPerformanceDataSchema &&rhs) = default;

    Object &AddObject(const std::wstring &name, const std::wstring &help, DWORD detailLevel);

    // Instances identified by name; maxInstanceNameLength must be at least 1.
    Object &AddObjectWithInstances(const std::wstring &name, const std::wstring &help, DWORD detailLevel,
                                   DWORD maxInstances, DWORD maxInstanceNameLength);

    // Instances identified by number.
    Object &AddObjectWithInstances(const std::wstring &name, const std::wstring &help, DWORD detailLevel,
                                   DWORD maxInstances);

    void AddSupportedLanguage(const std::wstring &languageId);

    void ValidateSchema() const;

    std::wstring GetChecksum() const;
    bool ChecksumMatches(const std::wstring &checksum) const;

    DWORD GetObjectCount() const;

    // Each validates the schema first.
    DWORD GetObjectDefinitionsSize() const;
    DWORD GetCounterDataSize() const;
    DWORD GetRequiredSize() const;

    void GetSupportedLanguages(Strings &languageIds) const;

    const std::wstring &GetLanguageId() const;

    // In the order in which they were added.
    const Objects &GetObjects() const;

private:
    void CheckNewObjectName(const wchar_t *where, const std::wstring &name) const;
    Object &Append(std::unique_ptr<Object> object, const std::wstring &name);

    std::wstring m_languageId;
    Objects m_objects;
    std::set<std::wstring, OrdinalLess> m_objectNames;
    std::set<std::wstring, OrdinalLess> m_supportedLanguages;
};

} // namespace PerfMon
} // namespace Halyard
