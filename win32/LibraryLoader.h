#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// Owns one loaded module and frees it when destroyed. Movable, not copyable.
// LoadLibrary is a Win32 macro: with UNICODE it renames the member to LoadLibraryW in this
// declaration and in every call alike, so callers simply write loader.LoadLibrary(...).
class CLibraryLoader
{
public:
    // Takes ownership of a loaded module.
    explicit CLibraryLoader(HMODULE module);

    // Loads path, resolving its references.
    explicit CLibraryLoader(const std::wstring &path, bool throwOnFailure = true);

    // Loads a library of the system's own from the system folder only: a module loaded by bare name
    // is searched for beside the host program and in its current folder first, which a privileged
    // host must never do.
    static CLibraryLoader LoadSystemLibrary(const std::wstring &fileName, bool throwOnFailure = true);

    CLibraryLoader(CLibraryLoader &&rhs) noexcept;
    CLibraryLoader &operator=(CLibraryLoader &&rhs) noexcept;
    CLibraryLoader(const CLibraryLoader &) = delete;
    CLibraryLoader &operator=(const CLibraryLoader &) = delete;

    ~CLibraryLoader();

    // Frees what is held, then loads; without resolveReferences the module is mapped but its
    // imports are not loaded and its entry point is not run.
    bool Load(const std::wstring &path, bool resolveReferences);
    void LoadLibrary(const std::wstring &path, bool resolveReferences);
    void FreeLibrary();

    bool IsLoaded() const;
    HMODULE GetModule() const;

    // Null when the export is missing or nothing is loaded.
    FARPROC TryGetProcAddress(const std::wstring &name) const;
    bool HasProcAddress(const std::wstring &name) const;
    FARPROC GetProcAddress(const std::wstring &name) const;

    // The export's offset from the module's base, and that offset from another base.
    ULONG_PTR GetProcOffset(const std::wstring &name) const;
    ULONG_PTR GetProcOffset(const std::wstring &name, ULONG_PTR base) const;

private:
    HMODULE m_module;
};

} // namespace Win32
} // namespace Halyard
