#pragma once

#include "perfmon/schema/Schema.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Halyard {
namespace PerfMon {

// The two files that the system's counter-text loader reads to name a counter set: the
// initialisation file (every supported language, the name and help of every object and counter)
// and the symbol header it names. The header gives each object and counter an even offset in
// title index order (object, then its counters, object after object), the order in which the data
// block hands out title indexes, so the loader's name index is the set's first counter + offset
// and the help index one more. Holds the schema by reference: the schema must outlive the writer.
class CCounterTextFile
{
public:
    struct Symbol
    {
        std::string name;
        DWORD offset;
        const CPerformanceDataSchema::Object *object;
        // Null for the object's own symbol.
        const CPerformanceDataSchema::Object::Counter *counter;
    };

    typedef std::vector<Symbol> Symbols;

    // Validates the schema; the symbols are named after the application.
    CCounterTextFile(const CPerformanceDataSchema &schema, const std::wstring &applicationName);

    CCounterTextFile(const CCounterTextFile &) = delete;
    CCounterTextFile &operator=(const CCounterTextFile &) = delete;

    // The initialisation file's text, naming symbolFileName (a file beside it) as its header.
    std::wstring GetInitialisationText(const std::wstring &symbolFileName) const;

    // The symbol header's text.
    std::string GetSymbolText() const;

    // Writes the initialisation file in UTF-16LE with a byte order mark, for names in any script,
    // and the header in ASCII. The header must lie in the initialisation file's directory. Both files
    // are created new: an existing file of either name fails with ERROR_FILE_EXISTS.
    void Write(const std::wstring &iniPath, const std::wstring &headerPath) const;

    const Symbols &GetSymbols() const;

private:
    const CPerformanceDataSchema &m_schema;
    const std::wstring m_applicationName;
    Symbols m_symbols;
};

} // namespace PerfMon
} // namespace Halyard
