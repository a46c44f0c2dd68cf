// Kept apart from the other file utilities: a binary that never makes a GUID does not import ole32.
#include "win32/FileUtils.h"

#include "win32/Exception.h"

#include <objbase.h>

namespace Halyard {
namespace Win32 {

std::wstring GUIDAsString(const GUID &guid)
{
    LPOLESTR text = nullptr;
    const HRESULT result = ::StringFromIID(guid, &text);
    if (FAILED(result))
    {
        throw CWin32Exception(L"GUIDAoString() - StringFromIID", static_cast<DWORD>(result));
    }
    const std::wstring copy(text);
    ::CoTaskMemFree(text);
    return copy;
}

std::wstring CreateGUIDAsString()
{
    GUID guid;
    const HRESULT result = ::CoCreateGuid(&guid);
    if (FAILED(result))
    {
        throw CWin32Exception(L"CreateGUIDAsString() - CoCreateGuid", static_cast<DWORD>(result));
    }
    return GUIDAsString(guid);
}

} // namespace Win32
} // namespace Halyard
