#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Halyard {
namespace Win32 {

// The function symbols of a loaded module's COFF symbol table, read from its file. This toolchain
// leaves its symbols there, where DbgHelp does not look, so without them a frame in the product's
// own code would carry no name or the name of the nearest export. The table is read once, up to a
// size that bounds the time it takes; a module without one has no symbols.
class CCoffSymbols
{
public:
    explicit CCoffSymbols(HMODULE module);

    // The demangled name of the function that holds the address, and the address's offset in it.
    bool Find(DWORD64 address, std::wstring &name, DWORD64 &offset) const;

private:
    struct CSymbol
    {
        DWORD rva;
        std::string name;
    };

    void Read(HMODULE module);

    DWORD64 m_base;
    DWORD m_imageSize;
    std::vector<CSymbol> m_symbols;
};

} // namespace Win32
} // namespace Halyard
