#include "tools/perfclient/DirectProvider.h"

#include "win32/Exception.h"

#include <algorithm>

using Halyard::Win32::CLibraryLoader;
using Halyard::Win32::CWin32Exception;

namespace Halyard {
namespace PerfClient {

namespace {

const wchar_t kWhere[] = L"CDirectProvider::CDirectProvider()";

// Guard bytes after the buffer handed to Collect: a provider that writes past its buffer changes them.
const DWORD kGuardSize = 4096;

// The standard search order: the loader object's altered order leaves a relative path, which
// tarnmon --direct accepts, undefined.
HMODULE Load(const std::wstring &libraryPath)
{
    const HMODULE module = ::LoadLibraryW(libraryPath.c_str());
    if (module == nullptr)
    {
        throw CWin32Exception(std::wstring(kWhere) + L" - LoadLibraryW", L"\"" + libraryPath + L"\"", ::GetLastError());
    }
    return module;
}

FARPROC Resolve(const CLibraryLoader &module, const std::string &name)
{
    // Export names are ASCII.
    const std::wstring wideName(name.begin(), name.end());
    const FARPROC function = module.TryGetProcAddress(wideName);
    if (function == nullptr)
    {
        throw CWin32Exception(std::wstring(kWhere) + L" - GetProcAddress", L"export \"" + wideName + L"\" not found",
                              ::GetLastError());
    }
    return function;
}

template <typename Function>
Function Cast(FARPROC function)
{
    // GetProcAddress returns a generic function pointer; the export's real type is known from the contract.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(function));
}

} // namespace

const BYTE CDirectProvider::kUnwrittenByte;

CDirectProvider::CDirectProvider(const std::wstring &libraryPath, const std::string &openName,
                                 const std::string &collectName, const std::string &closeName)
    : m_module(Load(libraryPath)),
      m_open(Cast<OpenFunction>(Resolve(m_module, openName))),
      m_collect(Cast<CollectFunction>(Resolve(m_module, collectName))),
      m_close(Cast<CloseFunction>(Resolve(m_module, closeName)))
{
}

DWORD CDirectProvider::Open(const std::wstring &deviceNames)
{
    std::vector<wchar_t> text(deviceNames.begin(), deviceNames.end());
    text.push_back(L'\0');
    return m_open(text.data());
}

CDirectProvider::CollectResult CDirectProvider::Collect(const std::wstring &query, DWORD bufferSize,
                                                        DWORD objectCountIn)
{
    std::vector<wchar_t> text(query.begin(), query.end());
    text.push_back(L'\0');
    std::vector<BYTE> buffer(static_cast<size_t>(bufferSize) + kGuardSize, kUnwrittenByte);

    CollectResult collected{};
    LPVOID cursor = buffer.data();
    collected.bytes = bufferSize;
    collected.objects = objectCountIn;
    collected.result = m_collect(text.data(), &cursor, &collected.bytes, &collected.objects);
    collected.cursorAdvance = static_cast<BYTE *>(cursor) - buffer.data();
    collected.overran = std::any_of(buffer.begin() + bufferSize, buffer.end(),
                                    [](BYTE value) { return value != kUnwrittenByte; });
    buffer.resize(bufferSize);
    collected.data = std::move(buffer);
    return collected;
}

DWORD CDirectProvider::Close()
{
    return m_close();
}

HMODULE CDirectProvider::GetModule() const
{
    return m_module.GetModule();
}

} // namespace PerfClient
} // namespace Halyard
