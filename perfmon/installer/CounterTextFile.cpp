#include "perfmon/installer/CounterTextFile.h"

#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
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

// Creates the file, refusing one that exists: a file or link planted under the name beforehand
// would otherwise be written through, or handed to the loader with someone else's texts.
void WriteNewFile(const std::wstring &path, const void *bytes, DWORD size)
{
    const std::wstring where = L"CCounterTextFile::Write() - \"" + path + L"\"";
    const Win32::CSmartHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.GetHandle() == INVALID_HANDLE_VALUE)
    {
        throw Win32::CWin32Exception(where, ::GetLastError());
    }
    DWORD written = 0;
    if (!::WriteFile(file.GetHandle(), bytes, size, &written, nullptr) || written != size)
    {
        const DWORD error = ::GetLastError();
        throw Win32::CWin32Exception(where, error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
    }
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
    const std::string symbols = GetSymbolText();
    WriteNewFile(headerPath, symbols.data(), static_cast<DWORD>(symbols.size()));
    const std::wstring text = L"\xFEFF" + GetInitialisationText(headerName.empty() ? headerPath : headerName);
    WriteNewFile(iniPath, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

const CCounterTextFile::Symbols &CCounterTextFile::GetSymbols() const
{
    return m_symbols;
}

} // namespace PerfMon
} // namespace Halyard
