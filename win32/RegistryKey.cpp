#include "win32/RegistryKey.h"

#include "win32/RegistryData.h"

#include "win32/ToString.h"

#include <cstring>

namespace Halyard {
namespace Win32 {

namespace RegistryData {

void ThrowIfFailed(LONG result, const wchar_t *where)
{
    if (result != ERROR_SUCCESS)
    {
        throw CRegistryKey::Exception(where, static_cast<DWORD>(result));
    }
}

} // namespace RegistryData

using RegistryData::ThrowIfFailed;

namespace {

bool IsTextType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

bool IsDWORDType(DWORD type)
{
    return type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN;
}

bool IsBinaryType(DWORD type)
{
    return type == REG_BINARY || type == REG_NONE;
}

// Registry data need not end with a null, so a text never runs past the bytes that hold it.
std::wstring TextFromData(const BYTE *data, DWORD size)
{
    const wchar_t *text = reinterpret_cast<const wchar_t *>(data);
    const size_t available = size / sizeof(wchar_t);
    size_t length = 0;
    while (length < available && text[length] != L'\0')
    {
        ++length;
    }
    return std::wstring(text, length);
}


// The new counted key owns the handle; should it not be made, the handle is closed at once.
CCountedRegKey *CountKey(HKEY key)
{
    try
    {
        return new CCountedRegKey(key);
    }
    catch (...)
    {
        ::RegCloseKey(key);
        throw;
    }
}

CRegistryKey OpenSubkey(HKEY key, const std::wstring &subKey, REGSAM access)
{
    return CRegistryKey(key, subKey, access);
}

DWORD SubkeyCount(HKEY key, const wchar_t *where)
{
    DWORD subkeys = 0;
    ThrowIfFailed(::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr),
                  where);
    return subkeys;
}

} // namespace

namespace RegistryData {

std::wstring DataAsString(const BYTE *data, DWORD size, DWORD type)
{
    if (IsTextType(type) || type == REG_MULTI_SZ)
    {
        // Of a multi-string, its first string.
        return TextFromData(data, size);
    }
    if (IsDWORDType(type))
    {
        return L"A number";
    }
    return ToHexStringW(data, size, HexUpperCase);
}

} // namespace RegistryData

using RegistryData::DataAsString;

CCountedRegKey::CCountedRegKey(HKEY key)
    : TReferenceCounted<HKEY, CCountedRegKey>(key)
{
}

void CCountedRegKey::ReleaseHandle()
{
    const CLastErrorKeeper lastError;
    ::RegCloseKey(m_handle);
}

CCountedRegKey::~CCountedRegKey() = default;

CRegistryKey::Exception::Exception(const wchar_t *where, DWORD error)
    : CWin32Exception(where, error)
{
}

CRegistryKey::Exception::~Exception() = default;

CRegistryKey::Value::Exception::Exception()
    : CRegistryKey::Exception(L"CRegistryKey::Value::Exception", ERROR_INVALID_PARAMETER)
{
}

CRegistryKey::Value::Exception::~Exception() = default;

CRegistryKey::Value::Value(const std::wstring &name, const BYTE *data, DWORD size, DWORD type)
    : m_name(name), m_type(type), m_data(data, data + size), m_size(size), m_haveText(false)
{
}

CRegistryKey::Value::Value(const std::wstring &name, const std::wstring &text, DWORD type)
    : m_name(name), m_type(type), m_size(0), m_haveText(false)
{
    if (!IsTextType(type))
    {
        throw Exception();
    }
    const BYTE *bytes = reinterpret_cast<const BYTE *>(text.c_str());
    m_size = static_cast<DWORD>((text.length() + 1) * sizeof(wchar_t));
    m_data.assign(bytes, bytes + m_size);
}

CRegistryKey::Value::Value(const std::wstring &name, DWORD value, DWORD type)
    : m_name(name), m_type(type), m_size(sizeof(DWORD)), m_haveText(false)
{
    if (!IsDWORDType(type))
    {
        throw Exception();
    }
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&value);
    m_data.assign(bytes, bytes + sizeof(DWORD));
}

CRegistryKey::Value::Value(const Value &rhs)
    : m_name(rhs.m_name), m_type(rhs.m_type), m_data(rhs.m_data), m_size(rhs.m_size), m_haveText(false)
{
}

CRegistryKey::Value &CRegistryKey::Value::operator=(const Value &rhs)
{
    if (this != &rhs)
    {
        m_name = rhs.m_name;
        m_type = rhs.m_type;
        m_data = rhs.m_data;
        m_size = rhs.m_size;
        m_text.clear();
        m_haveText = false;
    }
    return *this;
}

CRegistryKey::Value::~Value() = default;

const std::wstring &CRegistryKey::Value::GetName() const
{
    return m_name;
}

DWORD CRegistryKey::Value::GetType() const
{
    return m_type;
}

DWORD CRegistryKey::Value::GetSize() const
{
    return m_size;
}

const BYTE *CRegistryKey::Value::GetBytes() const
{
    if (!IsBinaryType(m_type))
    {
        throw Exception();
    }
    return m_data.data();
}

std::wstring CRegistryKey::Value::GetText() const
{
    if (!IsTextType(m_type))
    {
        throw Exception();
    }
    return TextFromData(m_data.data(), m_size);
}

DWORD CRegistryKey::Value::GetDWORD() const
{
    if (!IsDWORDType(m_type) || m_size < sizeof(DWORD))
    {
        throw Exception();
    }
    DWORD value = 0;
    std::memcpy(&value, m_data.data(), sizeof(DWORD));
    return value;
}

const std::wstring &CRegistryKey::Value::AsString() const
{
    if (!m_haveText)
    {
        m_text = DataAsString(m_data.data(), m_size, m_type);
        m_haveText = true;
    }
    return m_text;
}

CRegistryKey::CRegistryKey(HKEY key, const std::wstring &subKey, REGSAM access, const wchar_t *machineName)
    : m_key(nullptr)
{
    if (machineName)
    {
        const CRegistryKey remote(machineName, key);
        m_key = remote.OpenKey(subKey, access).m_key->AddRef();
        return;
    }
    HKEY opened = nullptr;
    ThrowIfFailed(::RegOpenKeyExW(key, subKey.c_str(), 0, access, &opened),
                  L"CRegistryKey::CRegistryKey(HKEY hKey ...)");
    m_key = CountKey(opened);
}

CRegistryKey::CRegistryKey(const std::wstring &machineName, HKEY key)
    : m_key(nullptr)
{
    HKEY connected = nullptr;
    ThrowIfFailed(::RegConnectRegistryW(machineName.c_str(), key, &connected),
                  L"CRegistryKey::CRegistryKey() - RegConnectRegistry");
    m_key = CountKey(connected);
}

CRegistryKey::CRegistryKey(HKEY key)
    : m_key(CountKey(key))
{
}

CRegistryKey &CRegistryKey::operator=(HKEY key)
{
    CCountedRegKey *counted = CountKey(key);
    if (m_key)
    {
        m_key->Release();
    }
    m_key = counted;
    return *this;
}

CRegistryKey::CRegistryKey(const CRegistryKey &rhs)
    : m_key(rhs.m_key ? rhs.m_key->AddRef() : nullptr)
{
}

CRegistryKey &CRegistryKey::operator=(const CRegistryKey &rhs)
{
    // Referencing the new key first makes self-assignment harmless.
    CCountedRegKey *key = rhs.m_key ? rhs.m_key->AddRef() : nullptr;
    if (m_key)
    {
        m_key->Release();
    }
    m_key = key;
    return *this;
}

CRegistryKey::~CRegistryKey()
{
    try
    {
        if (m_key)
        {
            m_key->Release();
        }
    }
    catch (...)
    {
    }
    m_key = nullptr;
}

CRegistryKey::operator HKEY() const
{
    return m_key ? m_key->GetHandle() : nullptr;
}

CRegistryKey CRegistryKey::ConnectRegistry(const std::wstring &machineName) const
{
    HKEY connected = nullptr;
    ThrowIfFailed(::RegConnectRegistryW(machineName.c_str(), *this, &connected), L"CRegistryKey::ConnectRegistry()");
    return CRegistryKey(connected);
}

CRegistryKey CRegistryKey::OpenKey(const std::wstring &subKey, REGSAM access) const
{
    return CRegistryKey(*this, subKey, access);
}

CRegistryKey CRegistryKey::CreateOrOpenKey(const std::wstring &subKey, DWORD *disposition,
                                           const std::wstring &className, DWORD options, REGSAM access,
                                           LPSECURITY_ATTRIBUTES security) const
{
    DWORD localDisposition = 0;
    HKEY created = nullptr;
    ThrowIfFailed(::RegCreateKeyExW(*this, subKey.c_str(), 0, const_cast<LPWSTR>(className.c_str()), options,
                                    access, security, &created, disposition ? disposition : &localDisposition),
                  L"CRegistryKey::CreateOrOpenKey()");
    return CRegistryKey(created);
}

CRegistryKey CRegistryKey::CreateKey(const std::wstring &subKey, const std::wstring &className, DWORD options,
                                     REGSAM access, LPSECURITY_ATTRIBUTES security) const
{
    DWORD disposition = 0;
    HKEY created = nullptr;
    ThrowIfFailed(::RegCreateKeyExW(*this, subKey.c_str(), 0, const_cast<LPWSTR>(className.c_str()), options,
                                    access, security, &created, &disposition),
                  L"CRegistryKey::CreateKey()");
    CRegistryKey key(created);
    if (disposition != REG_CREATED_NEW_KEY)
    {
        throw Exception(L"CRegistryKey::CreateKey()", ERROR_ALREADY_EXISTS);
    }
    return key;
}

void CRegistryKey::DeleteKey(const std::wstring &subKey) const
{
    {
        const CRegistryKey key = OpenSubkey(*this, subKey, KEY_ALL_ACCESS);
        if (SubkeyCount(key, L"CRegistryKey::DeleteKey()") != 0)
        {
            throw Exception(L"CRegistryKey::DeleteKey()", ERROR_ACCESS_DENIED);
        }
    }
    ThrowIfFailed(::RegDeleteKeyW(*this, subKey.c_str()), L"CRegistryKey::DeleteKey()");
}

void CRegistryKey::DeleteKeyAndSubkeys(const std::wstring &subKey) const
{
    {
        const CRegistryKey key = OpenSubkey(*this, subKey, KEY_ALL_ACCESS);
        for (;;)
        {
            const SubkeyIterator first = key.BeginSubkeyIteration();
            if (first == key.EndSubkeyIteration())
            {
                break;
            }
            key.DeleteKeyAndSubkeys(first.GetName());
        }
    }
    DeleteKey(subKey);
}

bool CRegistryKey::SubkeyExists(const std::wstring &subKey, REGSAM access) const
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(*this, subKey.c_str(), 0, access, &opened) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(opened);
    return true;
}

bool CRegistryKey::QueryValue(const std::wstring &name, DWORD &value) const
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LONG result = ::RegQueryValueExW(*this, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&data),
                                           &size);
    if (result != ERROR_SUCCESS || !IsDWORDType(type) || size != sizeof(DWORD))
    {
        return false;
    }
    value = data;
    return true;
}

bool CRegistryKey::QueryValue(const std::wstring &name, std::unique_ptr<wchar_t[]> &text) const
{
    text.reset();
    try
    {
        const Value value = QueryValue(name);
        if (!IsTextType(value.GetType()))
        {
            return false;
        }
        // Whole characters for the stored bytes plus one null of our own.
        const size_t characters = (value.GetSize() + sizeof(wchar_t) - 1) / sizeof(wchar_t) + 1;
        std::unique_ptr<wchar_t[]> buffer(new wchar_t[characters]());
        std::memcpy(buffer.get(), value.m_data.data(), value.GetSize());
        text = std::move(buffer);
        return true;
    }
    catch (const CException &)
    {
        return false;
    }
    catch (const std::bad_alloc &)
    {
        return false;
    }
}

bool CRegistryKey::QueryValue(const std::wstring &name, std::unique_ptr<BYTE[]> &data, DWORD &size) const
{
    data.reset();
    try
    {
        const Value value = QueryValue(name);
        if (!IsBinaryType(value.GetType()))
        {
            return false;
        }
        std::unique_ptr<BYTE[]> buffer(new BYTE[value.GetSize() ? value.GetSize() : 1]());
        std::memcpy(buffer.get(), value.m_data.data(), value.GetSize());
        data = std::move(buffer);
        size = value.GetSize();
        return true;
    }
    catch (const CException &)
    {
        return false;
    }
    catch (const std::bad_alloc &)
    {
        return false;
    }
}

CRegistryKey::Value CRegistryKey::QueryValue(const std::wstring &name) const
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG result = ::RegQueryValueExW(*this, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data;
    while (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)
    {
        // The value may grow between the two calls; ask again until it fits.
        data.resize(size);
        result = ::RegQueryValueExW(*this, name.c_str(), nullptr, &type, data.data(), &size);
        if (result == ERROR_SUCCESS)
        {
            return Value(name, data.data(), size, type);
        }
    }
    throw Exception(L"CRegistryKey::QueryValue()", static_cast<DWORD>(result));
}

void CRegistryKey::SetValue(const std::wstring &name, const std::wstring &text, DWORD type) const
{
    if (!IsTextType(type))
    {
        throw Exception(L"CRegistryKey::SetValue()", ERROR_INVALID_FLAGS);
    }
    SetValue(Value(name, text, type));
}

void CRegistryKey::SetValue(const std::wstring &name, DWORD value, DWORD type) const
{
    if (!IsDWORDType(type))
    {
        throw Exception(L"CRegistryKey::SetValue()", ERROR_INVALID_FLAGS);
    }
    SetValue(Value(name, value, type));
}

void CRegistryKey::SetValue(const std::wstring &name, const BYTE *data, DWORD size) const
{
    SetValue(Value(name, data, size, REG_BINARY));
}

void CRegistryKey::SetValue(const Value &value) const
{
    ThrowIfFailed(::RegSetValueExW(*this, value.m_name.c_str(), 0, value.m_type, value.m_data.data(), value.m_size),
                  L"CRegistryKey::SetValue()");
}

void CRegistryKey::DeleteValue(const std::wstring &name) const
{
    ThrowIfFailed(::RegDeleteValueW(*this, name.c_str()), L"CRegistryKey::DeleteValue()");
}

void CRegistryKey::FlushKey() const
{
    ThrowIfFailed(::RegFlushKey(*this), L"CRegistryKey::FlushKey()");
}

void CRegistryKey::LoadKey(const std::wstring &subKey, const std::wstring &file) const
{
    ThrowIfFailed(::RegLoadKeyW(*this, subKey.c_str(), file.c_str()), L"CRegistryKey::LoadKey()");
}

void CRegistryKey::UnLoadKey(const std::wstring &subKey) const
{
    ThrowIfFailed(::RegUnLoadKeyW(*this, subKey.c_str()), L"CRegistryKey::UnLoadKey()");
}

void CRegistryKey::SaveKey(const std::wstring &file, LPSECURITY_ATTRIBUTES security) const
{
    ThrowIfFailed(::RegSaveKeyW(*this, file.c_str(), security), L"CRegistryKey::SaveKey()");
}

void CRegistryKey::RestoreKey(const std::wstring &file, DWORD flags) const
{
    ThrowIfFailed(::RegRestoreKeyW(*this, file.c_str(), flags), L"CRegistryKey::RestoreKey()");
}

void CRegistryKey::ReplaceKey(const std::wstring &newFile, const std::wstring &oldFile,
                              const std::wstring &subKey) const
{
    ThrowIfFailed(::RegReplaceKeyW(*this, subKey.c_str(), newFile.c_str(), oldFile.c_str()),
                  L"CRegistryKey::ReplaceKey()");
}

std::vector<BYTE> CRegistryKey::GetKeySecurity(SECURITY_INFORMATION information) const
{
    DWORD size = 0;
    LONG result = ::RegGetKeySecurity(*this, information, nullptr, &size);
    std::vector<BYTE> descriptor;
    while (result == ERROR_INSUFFICIENT_BUFFER)
    {
        descriptor.resize(size);
        result = ::RegGetKeySecurity(*this, information, descriptor.data(), &size);
    }
    ThrowIfFailed(result, L"CRegistryKey::GetKeySecurity()");
    descriptor.resize(size);
    return descriptor;
}

void CRegistryKey::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) const
{
    ThrowIfFailed(::RegSetKeySecurity(*this, information, descriptor), L"CRegistryKey::SetKeySecurity()");
}

void CRegistryKey::RegNotifyChangeKeyValue(HANDLE event, bool watchSubtree, DWORD filter) const
{
    ThrowIfFailed(::RegNotifyChangeKeyValue(*this, watchSubtree ? TRUE : FALSE, filter, event, TRUE),
                  L"CRegistryKey::RegNotifyChangeKeyValue()");
}

void CRegistryKey::RegNotifyChangeKeyValue(bool watchSubtree, DWORD filter) const
{
    ThrowIfFailed(::RegNotifyChangeKeyValue(*this, watchSubtree ? TRUE : FALSE, filter, nullptr, FALSE),
                  L"CRegistryKey::RegNotifyChangeKeyValue()");
}

CRegistryKey::SubkeyIterator CRegistryKey::BeginSubkeyIteration() const
{
    return SubkeyIterator(m_key);
}

CRegistryKey::SubkeyIterator CRegistryKey::EndSubkeyIteration() const
{
    return SubkeyIterator();
}

CRegistryKey::ValueIterator CRegistryKey::BeginValueIteration() const
{
    return ValueIterator(m_key);
}

CRegistryKey::ValueIterator CRegistryKey::EndValueIteration() const
{
    return ValueIterator();
}

} // namespace Win32
} // namespace Halyard
