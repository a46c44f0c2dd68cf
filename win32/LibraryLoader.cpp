#include "win32/LibraryLoader.h"

#include "win32/Exception.h"
#include "win32/StringConverter.h"

namespace Halyard {
namespace Win32 {

CLibraryLoader::CLibraryLoader(HMODULE module)
    : m_module(module)
{
    if (!module)
    {
        throw CException(L"CLibraryLoader::CLibraryLoader()", L"Invalid module handle");
    }
}

CLibraryLoader::CLibraryLoader(const std::wstring &path, bool throwOnFailure)
    : m_module(nullptr)
{
    if (!Load(path, true) && throwOnFailure)
    {
        throw CWin32Exception(L"CLibraryLoader::CLibraryLoader() - \"" + path + L"\"", ::GetLastError());
    }
}

CLibraryLoader CLibraryLoader::LoadSystemLibrary(const std::wstring &fileName, bool throwOnFailure)
{
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    ThrowLastErrorIf(length == 0 || length >= MAX_PATH, L"CLibraryLoader::LoadSystemLibrary() - GetSystemDirectoryW");
    return CLibraryLoader(std::wstring(folder, length) + L"\\" + fileName, throwOnFailure);
}

CLibraryLoader::CLibraryLoader(CLibraryLoader &&rhs) noexcept
    : m_module(rhs.m_module)
{
    rhs.m_module = nullptr;
}

CLibraryLoader &CLibraryLoader::operator=(CLibraryLoader &&rhs) noexcept
{
    if (this != &rhs)
    {
        if (m_module)
        {
            ::FreeLibrary(m_module);
        }
        m_module = rhs.m_module;
        rhs.m_module = nullptr;
    }
    return *this;
}

CLibraryLoader::~CLibraryLoader()
{
    if (m_module)
    {
        const CLastErrorKeeper lastError;
        ::FreeLibrary(m_module);
    }
}

bool CLibraryLoader::Load(const std::wstring &path, bool resolveReferences)
{
    FreeLibrary();
    const DWORD flags = resolveReferences ? LOAD_WITH_ALTERED_SEARCH_PATH
                                          : LOAD_WITH_ALTERED_SEARCH_PATH | DONT_RESOLVE_DLL_REFERENCES;
    m_module = ::LoadLibraryExW(path.c_str(), nullptr, flags);
    return m_module != nullptr;
}

void CLibraryLoader::LoadLibrary(const std::wstring &path, bool resolveReferences)
{
    if (!Load(path, resolveReferences))
    {
        throw CWin32Exception(L"CLibraryLoader::LoadLibrary() - \"" + path + L"\"", ::GetLastError());
    }
}

void CLibraryLoader::FreeLibrary()
{
    if (!m_module)
    {
        return;
    }
    // Whatever the result, the handle is no longer ours to free.
    const HMODULE module = m_module;
    m_module = nullptr;
    ThrowLastErrorIf(!::FreeLibrary(module), L"CLibraryLoader::FreeLibrary()");
}

bool CLibraryLoader::IsLoaded() const
{
    return m_module != nullptr;
}

HMODULE CLibraryLoader::GetModule() const
{
    return m_module;
}

FARPROC CLibraryLoader::TryGetProcAddress(const std::wstring &name) const
{
    // A null module would make the platform search the process's executable instead.
    if (!m_module)
    {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return ::GetProcAddress(m_module, CStringConverter::WtoA(name).c_str());
}

bool CLibraryLoader::HasProcAddress(const std::wstring &name) const
{
    return TryGetProcAddress(name) != nullptr;
}

FARPROC CLibraryLoader::GetProcAddress(const std::wstring &name) const
{
    const FARPROC address = TryGetProcAddress(name);
    if (!address)
    {
        throw CWin32Exception(L"CLibraryLoader::GetProcAddress() - \"" + name + L"\"", ::GetLastError());
    }
    return address;
}

ULONG_PTR CLibraryLoader::GetProcOffset(const std::wstring &name) const
{
    return reinterpret_cast<ULONG_PTR>(GetProcAddress(name)) - reinterpret_cast<ULONG_PTR>(m_module);
}

ULONG_PTR CLibraryLoader::GetProcOffset(const std::wstring &name, ULONG_PTR base) const
{
    return GetProcOffset(name) + base;
}

} // namespace Win32
} // namespace Halyard
