#include "tools/perfclient/DirectProvider.h"

#include "win32/Exception.h"

#include <algorithm>

using Halyard::Win32::CWin32Exception;

namespace Halyard {
namespace PerfClient {

namespace {

const wchar_t kWhere[] = L"CDirectProvider::CDirectProvider()";

// Guard bytes after the buffer handed to Collect: a provider that writes past its buffer changes them.
const DWORD kGuardSize = 4096;

FARPROC Resolve(HMODULE module, const std::string &name)
{
    const FARPROC function = ::GetProcAddress(module, name.c_str());
    if (function == nullptr)
    {
        throw CWin32Exception(std::wstring(kWhere) + L" - GetProcAddress",
                              L"export \"" + std::wstring(name.begin(), name.end()) + L"\" not found",
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
    : m_module(::LoadLibraryW(libraryPath.c_str()))
{
    if (!m_module)
    {
        throw CWin32Exception(std::wstring(kWhere) + L" - LoadLibraryW", L"\"" + libraryPath + L"\"", ::GetLastError());
    }
    m_open = Cast<OpenFunction>(Resolve(m_module.get(), openName));
    m_collect = Cast<CollectFunction>(Resolve(m_module.get(), collectName));
    m_close = Cast<CloseFunction>(Resolve(m_module.get(), closeName));
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
    return m_module.get();
}

} // namespace PerfClient
} // namespace Halyard
