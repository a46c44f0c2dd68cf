#include "crashdiag/CallStack.h"

#include "crashdiag/CoffSymbols.h"
#include "crashdiag/SymbolSession.h"
#include "win32/FileUtils.h"
#include "win32/ToString.h"

#include <dbghelp.h>

#include <cstring>
#include <map>
#include <memory>

namespace Halyard {
namespace Win32 {

namespace {

using StackWalkFunction = BOOL(WINAPI *)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID, PREAD_PROCESS_MEMORY_ROUTINE64,
                                         PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                         PTRANSLATE_ADDRESS_ROUTINE64);
using SymFromAddrFunction = BOOL(WINAPI *)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFOW);

template <typename Function>
Function Find(const CLibraryLoader &dbgHelp, const wchar_t *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(dbgHelp.TryGetProcAddress(name)));
}

// The read routine has no parameter of its own; set only under DbgHelpLock().
const CStackCopy *g_stackCopy = nullptr;

BOOL CALLBACK ReadMemory(HANDLE, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read)
{
    const CStackCopy *copy = g_stackCopy;
    if (copy != nullptr && address >= copy->address && address - copy->address <= copy->size &&
        size <= copy->size - (address - copy->address))
    {
        std::memcpy(buffer, copy->bytes + (address - copy->address), size);
        *read = size;
        return TRUE;
    }
    SIZE_T done = 0;
    const BOOL result = ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void *>(address), buffer,
                                            size, &done);
    *read = static_cast<DWORD>(done);
    return result;
}

// The module's file name without its extension, and its base; empty for an address in no module.
std::wstring ModuleName(DWORD64 address, DWORD64 &base)
{
    HMODULE module = nullptr;
    // A null address would name the program itself.
    if (address == 0 ||
        !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(address), &module))
    {
        return std::wstring();
    }
    base = reinterpret_cast<DWORD64>(module);
    const std::wstring file = GetFileNameFromPath(Halyard::Win32::GetModuleFileName(module));
    return file.substr(0, file.find_last_of(L'.'));
}

std::wstring Hex(DWORD64 value)
{
    return ToString(static_cast<unsigned long long>(value), HexPrefix);
}

struct CWalk
{
    DWORD machine;
    STACKFRAME64 frame;
};

CWalk StartWalk(const CONTEXT &context)
{
    CWalk walk = {};
#if defined(__x86_64__)
    walk.machine = IMAGE_FILE_MACHINE_AMD64;
    walk.frame.AddrPC.Offset = context.Rip;
    walk.frame.AddrStack.Offset = context.Rsp;
    walk.frame.AddrFrame.Offset = context.Rbp;
#else
    walk.machine = IMAGE_FILE_MACHINE_I386;
    walk.frame.AddrPC.Offset = context.Eip;
    walk.frame.AddrStack.Offset = context.Esp;
    walk.frame.AddrFrame.Offset = context.Ebp;
#endif
    walk.frame.AddrPC.Mode = AddrModeFlat;
    walk.frame.AddrStack.Mode = AddrModeFlat;
    walk.frame.AddrFrame.Mode = AddrModeFlat;
    return walk;
}

// Leaves a frame without rules: pops the return address into the instruction pointer.
bool StepToCaller(CONTEXT &context)
{
#if defined(__x86_64__)
    DWORD64 &stackPointer = context.Rsp;
    DWORD64 &instructionPointer = context.Rip;
    DWORD64 returnAddress = 0;
#else
    DWORD &stackPointer = context.Esp;
    DWORD &instructionPointer = context.Eip;
    DWORD returnAddress = 0;
#endif
    DWORD read = 0;
    if (!ReadMemory(nullptr, stackPointer, &returnAddress, sizeof(returnAddress), &read))
    {
        return false;
    }
    instructionPointer = returnAddress;
    stackPointer += sizeof(returnAddress);
    return true;
}

} // namespace

std::wstring GetCallStackText(const CONTEXT &context, const CStackCopy &stack, unsigned maxFrames, DWORD timeLimit)
{
    const ULONGLONG start = ::GetTickCount64();
    const CLibraryLoader dbgHelp = LoadDbgHelp();
    const auto stackWalk = Find<StackWalkFunction>(dbgHelp, L"StackWalk64");
    const auto symFromAddr = Find<SymFromAddrFunction>(dbgHelp, L"SymFromAddrW");
    const auto tableAccess = Find<PFUNCTION_TABLE_ACCESS_ROUTINE64>(dbgHelp, L"SymFunctionTableAccess64");
    const auto moduleBase = Find<PGET_MODULE_BASE_ROUTINE64>(dbgHelp, L"SymGetModuleBase64");
    if (stackWalk == nullptr || symFromAddr == nullptr || tableAccess == nullptr || moduleBase == nullptr)
    {
        return std::wstring();
    }
    ICriticalSection::Owner owner(DbgHelpLock());
    const CSymbolSession session(dbgHelp, true);
    if (!session.IsOpen())
    {
        return std::wstring();
    }
    g_stackCopy = &stack;
    // The walk changes the context it is given.
    CONTEXT walked = context;
    CWalk walk = StartWalk(context);
    union {
        SYMBOL_INFOW info;
        BYTE bytes[sizeof(SYMBOL_INFOW) + 256 * sizeof(wchar_t)];
    } symbol;
    std::map<DWORD64, std::unique_ptr<CCoffSymbols>> coffSymbols;
    std::wstring text;
    bool atFault = true;
    DWORD64 unused = 0;
    if (ModuleName(walk.frame.AddrPC.Offset, unused).empty())
    {
        // A call through a bad pointer faults outside any module, where the walk finds no rules:
        // the return address on top of the stack leads back to the caller.
        text += Hex(walk.frame.AddrPC.Offset) + L"\n";
        if (!StepToCaller(walked))
        {
            g_stackCopy = nullptr;
            return text;
        }
        walk = StartWalk(walked);
        atFault = false;
    }
    DWORD64 previousStack = 0;
    for (unsigned depth = 0; depth < maxFrames && ::GetTickCount64() - start < timeLimit; ++depth)
    {
        if (!stackWalk(walk.machine, session.GetProcess(), ::GetCurrentThread(), &walk.frame, &walked, ReadMemory,
                       tableAccess, moduleBase, nullptr) ||
            (depth > 0 && (walk.frame.AddrPC.Offset == 0 || walk.frame.AddrStack.Offset <= previousStack)))
        {
            break;
        }
        previousStack = walk.frame.AddrStack.Offset;
        const DWORD64 pc = walk.frame.AddrPC.Offset;
        // Past the first frame the address is a return address, which may already lie in the next
        // function: the call before it names the caller.
        const DWORD64 lookup = atFault ? pc : pc - 1;
        atFault = false;
        DWORD64 base = 0;
        const std::wstring module = ModuleName(lookup, base);
        if (module.empty())
        {
            text += Hex(pc) + L"\n";
            continue;
        }
        std::unique_ptr<CCoffSymbols> &coff = coffSymbols[base];
        if (!coff)
        {
            coff.reset(new CCoffSymbols(reinterpret_cast<HMODULE>(base)));
        }
        std::wstring name;
        DWORD64 offset = 0;
        std::memset(&symbol, 0, sizeof(symbol));
        symbol.info.SizeOfStruct = sizeof(SYMBOL_INFOW);
        symbol.info.MaxNameLen = 256;
        // The module's own symbol table first: DbgHelp may know no more than the exports, and would
        // name the nearest one however far away.
        bool named = coff->Find(lookup, name, offset);
        if (!named && symFromAddr(session.GetProcess(), lookup, &offset, &symbol.info) && symbol.info.Name[0] != 0)
        {
            name = symbol.info.Name;
            named = true;
        }
        if (named)
        {
            text += module + L"!" + name + L"+" + Hex(offset + (pc - lookup)) + L"\n";
        }
        else
        {
            text += module + L"+" + Hex(pc - base) + L"\n";
        }
    }
    g_stackCopy = nullptr;
    return text;
}

} // namespace Win32
} // namespace Halyard
