#include "perfmon/CounterTextFile.h"

#include "win32/FileUtils.h"
#include "win32/StringConverter.h"

#include <cwctype>

using Halyard::Win32::CStringConverter;

namespace Halyard {
namespace PerfMon {

namespace {

const wchar_t kLineEnd[] = L"\r\n";

// The loader ignores the language's description; it only keys the texts by the identifier.
std::wstring LanguageName(const std::wstring &languageId)
{
    static const struct
    {
        const wchar_t *id;
        const wchar_t *name;
    } kNames[] = {{L"004", L"Chinese"}, {L"007", L"German"},   {L"009", L"English"}, {L"00A", L"Spanish"},
                  {L"00C", L"French"},  {L"010", L"Italian"},  {L"011", L"Japanese"}, {L"012", L"Korean"},
                  {L"013", L"Dutch"},   {L"016", L"Portuguese"}, {L"019", L"Russian"}};
    for (const auto &entry : kNames)
    {
        if (languageId == entry.id)
        {
            return entry.name;
        }
    }
    return L"Language " + languageId;
}

// Symbols are C identifiers: letters, digits and underscores, never starting with a digit.
std::string SymbolPrefix(const std::wstring &applicationName)
{
    std::string prefix;
    for (const wchar_t c : applicationName)
    {
        const bool plain = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
        prefix += plain ? static_cast<char>(std::towupper(c)) : '_';
    }
    if (prefix.empty() || (prefix[0] >= '0' && prefix[0] <= '9'))
    {
        prefix.insert(0, "COUNTERS_");
    }
    return prefix;
}

// One text per line: line breaks and other control characters in a name or help become spaces.
std::wstring OneLine(const std::wstring &text)
{
    std::wstring line(text);
    for (wchar_t &c : line)
    {
        if (c < L' ')
        {
            c = L' ';
        }
    }
    return line;
}

} // namespace

CCounterTextFile::CCounterTextFile(const CPerformanceDataSchema &schema, const std::wstring &applicationName)
    : m_schema(schema), m_applicationName(applicationName)
{
    schema.ValidateSchema();
    const std::string prefix = SymbolPrefix(applicationName);
    DWORD offset = 0;
    DWORD objectNumber = 0;
    for (const auto &object : schema.GetObjects())
    {
        const std::string objectSymbol = prefix + "_OBJECT_" + std::to_string(++objectNumber);
        m_symbols.push_back(Symbol{objectSymbol, offset, object.get(), nullptr});
        offset += 2;
        DWORD counterNumber = 0;
        for (const auto &counter : object->GetCounters())
        {
            m_symbols.push_back(
                Symbol{objectSymbol + "_COUNTER_" + std::to_string(++counterNumber), offset, object.get(), counter.get()});
            offset += 2;
        }
    }
}

std::wstring CCounterTextFile::GetInitialisationText(const std::wstring &symbolFileName) const
{
    CPerformanceDataSchema::Strings languages;
    m_schema.GetSupportedLanguages(languages);

    std::wstring text = std::wstring(L"[info]") + kLineEnd;
    text += L"drivername=" + m_applicationName + kLineEnd;
    text += L"symbolfile=" + symbolFileName + kLineEnd + kLineEnd;

    text += std::wstring(L"[languages]") + kLineEnd;
    for (const std::wstring &language : languages)
    {
        text += language + L"=" + LanguageName(language) + kLineEnd;
    }

    text += std::wstring(kLineEnd) + L"[objects]" + kLineEnd;
    for (const Symbol &symbol : m_symbols)
    {
        if (symbol.counter == nullptr)
        {
            for (const std::wstring &language : languages)
            {
                text += CStringConverter::AtoW(symbol.name) + L"_" + language + L"_NAME=" +
                        OneLine(symbol.object->GetName(language)) + kLineEnd;
            }
        }
    }

    text += std::wstring(kLineEnd) + L"[text]" + kLineEnd;
    for (const std::wstring &language : languages)
    {
        for (const Symbol &symbol : m_symbols)
        {
            const std::wstring key = CStringConverter::AtoW(symbol.name) + L"_" + language;
            const std::wstring &name =
                symbol.counter != nullptr ? symbol.counter->GetName(language) : symbol.object->GetName(language);
            const std::wstring &help =
                symbol.counter != nullptr ? symbol.counter->GetHelp(language) : symbol.object->GetHelp(language);
            text += key + L"_NAME=" + OneLine(name) + kLineEnd;
            text += key + L"_HELP=" + OneLine(help) + kLineEnd;
        }
    }
    return text;
}

std::string CCounterTextFile::GetSymbolText() const
{
    std::string text = "// Counter symbols of " + CStringConverter::WtoA(OneLine(m_applicationName)) +
                       ": offsets from the set's first counter index.\r\n";
    for (const Symbol &symbol : m_symbols)
    {
        text += "#define " + symbol.name + " " + std::to_string(symbol.offset) + "\r\n";
    }
    return text;
}

void CCounterTextFile::Write(const std::wstring &iniPath, const std::wstring &headerPath) const
{
    const std::wstring headerName = Win32::GetFileNameFromPath(headerPath);
    Win32::SaveStringAsFile(headerPath, GetSymbolText());
    Win32::SaveUnicodeStringAsFile(iniPath,
                                   L"\xFEFF" + GetInitialisationText(headerName.empty() ? headerPath : headerName));
}

const CCounterTextFile::Symbols &CCounterTextFile::GetSymbols() const
{
    return m_symbols;
}

} // namespace PerfMon
} // namespace Halyard
