// The key's subkey and value iterators: the other half of the registry key wrapper.
#include "win32/RegistryKey.h"

#include "win32/RegistryData.h"

namespace Halyard {
namespace Win32 {

using RegistryData::DataAsString;
using RegistryData::ThrowIfFailed;

CRegKeyIterator::CRegKeyIterator()
    : m_key(nullptr), m_index(0)
{
}

CRegKeyIterator::CRegKeyIterator(CCountedRegKey *key)
    : m_key(key ? key->AddRef() : nullptr), m_index(0)
{
}

CRegKeyIterator::CRegKeyIterator(const CRegKeyIterator &rhs)
    : m_key(rhs.m_key ? rhs.m_key->AddRef() : nullptr), m_index(rhs.m_index)
{
}

CRegKeyIterator &CRegKeyIterator::operator=(const CRegKeyIterator &rhs)
{
    CCountedRegKey *key = rhs.m_key ? rhs.m_key->AddRef() : nullptr;
    if (m_key)
    {
        m_key->Release();
    }
    m_key = key;
    m_index = rhs.m_index;
    return *this;
}

CRegKeyIterator::~CRegKeyIterator()
{
    if (m_key)
    {
        m_key->Release();
    }
}

bool CRegKeyIterator::operator==(const CRegKeyIterator &rhs) const
{
    return m_key == rhs.m_key && m_index == rhs.m_index;
}

bool CRegKeyIterator::operator!=(const CRegKeyIterator &rhs) const
{
    return !(*this == rhs);
}

HKEY CRegKeyIterator::GetKey() const
{
    return m_key->GetHandle();
}

void CRegKeyIterator::Finish()
{
    if (m_key)
    {
        m_key->Release();
        m_key = nullptr;
    }
    m_index = 0;
}

CRegistryKey::SubkeyIteratorImpl::SubkeyIteratorImpl(CCountedRegKey *key)
    : CRegKeyIterator(key)
{
    GetKeyInfo(L"CRegistryKey::SubkeyIterator::SubkeyIterator()");
}

CRegistryKey::SubkeyIteratorImpl::~SubkeyIteratorImpl() = default;

void CRegistryKey::SubkeyIteratorImpl::GetKeyInfo(const wchar_t *where)
{
    DWORD subkeys = 0;
    DWORD longestName = 0;
    DWORD longestClass = 0;
    ThrowIfFailed(::RegQueryInfoKeyW(GetKey(), nullptr, nullptr, nullptr, &subkeys, &longestName, &longestClass,
                                     nullptr, nullptr, nullptr, nullptr, nullptr),
                  where);
    // Room for the terminator; at least one character so the buffers always exist.
    m_name.Resize(longestName + 1);
    m_class.Resize(longestClass + 1);
}

void CRegistryKey::SubkeyIteratorImpl::Advance()
{
    if (!m_key)
    {
        return;
    }
    for (;;)
    {
        DWORD nameLength = static_cast<DWORD>(m_name.GetSize());
        DWORD classLength = static_cast<DWORD>(m_class.GetSize());
        FILETIME lastWriteTime;
        const LONG result = ::RegEnumKeyExW(GetKey(), m_index, m_name, &nameLength, nullptr, m_class,
                                            &classLength, &lastWriteTime);
        if (result == ERROR_SUCCESS)
        {
            ++m_index;
            return;
        }
        if (result == ERROR_NO_MORE_ITEMS)
        {
            Finish();
            return;
        }
        if (result != ERROR_MORE_DATA)
        {
            throw Exception(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", static_cast<DWORD>(result));
        }
        // A longer name appeared since the buffers were sized.
        const size_t nameSize = m_name.GetSize();
        const size_t classSize = m_class.GetSize();
        GetKeyInfo(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()");
        if (m_name.GetSize() == nameSize && m_class.GetSize() == classSize)
        {
            // The key claims no longer names than we have room for; grow anyway so we cannot loop.
            m_name.Resize(nameSize * 2);
            m_class.Resize(classSize * 2);
        }
    }
}

const wchar_t *CRegistryKey::SubkeyIteratorImpl::GetName() const
{
    return m_name;
}

const wchar_t *CRegistryKey::SubkeyIteratorImpl::GetClass() const
{
    return m_class;
}

CRegistryKey CRegistryKey::SubkeyIteratorImpl::OpenKey(REGSAM access) const
{
    return CRegistryKey(GetKey(), GetName(), access);
}

CRegistryKey::ValueIteratorImpl::ValueIteratorImpl(CCountedRegKey *key)
    : CRegKeyIterator(key)
{
    GetKeyInfo(L"CRegistryKey::ValueIterator::ValueIterator()");
}

CRegistryKey::ValueIteratorImpl::~ValueIteratorImpl() = default;

void CRegistryKey::ValueIteratorImpl::GetKeyInfo(const wchar_t *where)
{
    DWORD values = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    ThrowIfFailed(::RegQueryInfoKeyW(GetKey(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                     &longestName, &longestData, nullptr, nullptr),
                  where);
    m_name.Resize(longestName + 1);
    m_data.Resize(longestData + 1);
}

void CRegistryKey::ValueIteratorImpl::Advance()
{
    m_text.clear();
    m_haveText = false;
    if (!m_key)
    {
        return;
    }
    for (;;)
    {
        DWORD nameLength = static_cast<DWORD>(m_name.GetSize());
        DWORD dataSize = static_cast<DWORD>(m_data.GetSize());
        DWORD type = REG_NONE;
        const LONG result = ::RegEnumValueW(GetKey(), m_index, m_name, &nameLength, nullptr, &type, m_data,
                                            &dataSize);
        if (result == ERROR_SUCCESS)
        {
            m_type = type;
            m_dataSize = dataSize;
            ++m_index;
            return;
        }
        if (result == ERROR_NO_MORE_ITEMS)
        {
            m_type = REG_NONE;
            m_dataSize = 0;
            Finish();
            return;
        }
        if (result != ERROR_MORE_DATA)
        {
            throw Exception(L"CRegistryKey::ValueIterator::GetValueInfo()", static_cast<DWORD>(result));
        }
        const size_t nameSize = m_name.GetSize();
        const size_t dataCapacity = m_data.GetSize();
        GetKeyInfo(L"CRegistryKey::ValueIterator::GetValueInfo()");
        if (m_name.GetSize() == nameSize && m_data.GetSize() == dataCapacity)
        {
            m_name.Resize(nameSize * 2);
            m_data.Resize(dataCapacity * 2);
        }
    }
}

const wchar_t *CRegistryKey::ValueIteratorImpl::GetName() const
{
    return m_name;
}

DWORD CRegistryKey::ValueIteratorImpl::GetType() const
{
    return m_type;
}

const BYTE *CRegistryKey::ValueIteratorImpl::GetData() const
{
    return m_data;
}

DWORD CRegistryKey::ValueIteratorImpl::GetDataSize() const
{
    return m_dataSize;
}

const std::wstring &CRegistryKey::ValueIteratorImpl::AsString() const
{
    if (!m_haveText)
    {
        m_text = DataAsString(m_data, m_dataSize, m_type);
        m_haveText = true;
    }
    return m_text;
}

CRegistryKey::Value CRegistryKey::ValueIteratorImpl::GetValue() const
{
    return Value(GetName(), GetData(), GetDataSize(), GetType());
}

} // namespace Win32
} // namespace Halyard
