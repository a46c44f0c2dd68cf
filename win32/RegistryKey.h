#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "win32/Exception.h"
#include "win32/ExpandableBuffer.h"

namespace Halyard {
namespace Win32 {

// A handle shared through an interlocked count; the last Release performs the derived class's
// release action and deletes the object.
template <typename Handle, typename Derived>
class TReferenceCounted
{
public:
    TReferenceCounted(const TReferenceCounted &) = delete;
    TReferenceCounted &operator=(const TReferenceCounted &) = delete;

    Derived *AddRef()
    {
        ::InterlockedIncrement(&m_count);
        return static_cast<Derived *>(this);
    }

    void Release()
    {
        if (::InterlockedDecrement(&m_count) == 0)
        {
            ReleaseHandle();
            delete this;
        }
    }

    Handle GetHandle() const
    {
        return m_handle;
    }

protected:
    explicit TReferenceCounted(Handle handle)
        : m_handle(handle), m_count(1)
    {
    }

    virtual void ReleaseHandle() = 0;

    virtual ~TReferenceCounted() = default;

    Handle m_handle;
    LONG m_count;
};

// An open registry key shared by CRegistryKey copies and iterators.
class CCountedRegKey : public TReferenceCounted<HKEY, CCountedRegKey>
{
public:
    explicit CCountedRegKey(HKEY key);

protected:
    void ReleaseHandle() override;

    ~CCountedRegKey() override;
};

// Position in an enumeration over a counted key. The end iterator has no key and index 0; an
// enumeration that runs out drops its key and becomes equal to it.
class CRegKeyIterator
{
public:
    CRegKeyIterator(const CRegKeyIterator &rhs);
    CRegKeyIterator &operator=(const CRegKeyIterator &rhs);

    virtual ~CRegKeyIterator();

    bool operator==(const CRegKeyIterator &rhs) const;
    bool operator!=(const CRegKeyIterator &rhs) const;

protected:
    CRegKeyIterator();
    explicit CRegKeyIterator(CCountedRegKey *key);

    HKEY GetKey() const;

    // The enumeration is over.
    void Finish();

    CCountedRegKey *m_key;
    DWORD m_index;
};

// Moves to the first element on construction; without a key it is the end iterator.
template <class Impl>
class TRegKeyIterator : public Impl
{
public:
    TRegKeyIterator() = default;

    explicit TRegKeyIterator(CCountedRegKey *key)
        : Impl(key)
    {
        Impl::Advance();
    }

    ~TRegKeyIterator() override = default;

    TRegKeyIterator &operator++()
    {
        Impl::Advance();
        return *this;
    }
};

// A value-like open registry key: copies share one handle, which the last copy closes. Every
// failing registry call throws CRegistryKey::Exception with the operation and the call's result.
class CRegistryKey
{
public:
    class Exception : public CWin32Exception
    {
    public:
        Exception(const wchar_t *where, DWORD error);
        Exception(const Exception &rhs) = default;
        Exception &operator=(const Exception &rhs) = default;

        ~Exception() override;
    };

    // One registry value held in memory; typed access refuses a value of another type.
    class Value
    {
    public:
        // Thrown for a value met with the wrong type: ERROR_INVALID_PARAMETER.
        class Exception : public CRegistryKey::Exception
        {
        public:
            Exception();
            Exception(const Exception &rhs) = default;
            Exception &operator=(const Exception &rhs) = default;

            ~Exception() override;
        };

        Value(const std::wstring &name, const BYTE *data, DWORD size, DWORD type);
        Value(const std::wstring &name, const std::wstring &text, DWORD type = REG_SZ);
        Value(const std::wstring &name, DWORD value, DWORD type = REG_DWORD);

        // Copies take name, type and data; each copy makes its own text form.
        Value(const Value &rhs);
        Value &operator=(const Value &rhs);
        Value(Value &&rhs) = default;
        Value &operator=(Value &&rhs) = default;

        virtual ~Value();

        const std::wstring &GetName() const;
        DWORD GetType() const;
        DWORD GetSize() const;

        // REG_BINARY and REG_NONE only.
        const BYTE *GetBytes() const;

        // REG_SZ and REG_EXPAND_SZ only: the text up to its first null or the end of the data.
        std::wstring GetText() const;

        // REG_DWORD and REG_DWORD_BIG_ENDIAN only, in memory order.
        DWORD GetDWORD() const;

        // A printable form of any type, made once and kept.
        const std::wstring &AsString() const;

    private:
        friend class CRegistryKey;

        std::wstring m_name;
        DWORD m_type;
        std::vector<BYTE> m_data;
        DWORD m_size;
        mutable std::wstring m_text;
        mutable bool m_haveText;
    };

    class SubkeyIteratorImpl : public CRegKeyIterator
    {
    public:
        ~SubkeyIteratorImpl() override;

        const wchar_t *GetName() const;
        const wchar_t *GetClass() const;

        // Opens the current subkey under the iterated key.
        CRegistryKey OpenKey(REGSAM access) const;

    protected:
        SubkeyIteratorImpl() = default;
        explicit SubkeyIteratorImpl(CCountedRegKey *key);

        void Advance();

    private:
        void GetKeyInfo(const wchar_t *where);

        TExpandableBuffer<wchar_t> m_name;
        TExpandableBuffer<wchar_t> m_class;
    };

    class ValueIteratorImpl : public CRegKeyIterator
    {
    public:
        ~ValueIteratorImpl() override;

        const wchar_t *GetName() const;
        DWORD GetType() const;
        const BYTE *GetData() const;
        DWORD GetDataSize() const;

        const std::wstring &AsString() const;
        Value GetValue() const;

    protected:
        ValueIteratorImpl() = default;
        explicit ValueIteratorImpl(CCountedRegKey *key);

        void Advance();

    private:
        void GetKeyInfo(const wchar_t *where);

        TExpandableBuffer<wchar_t> m_name;
        TExpandableBuffer<BYTE> m_data;
        DWORD m_type = REG_NONE;
        DWORD m_dataSize = 0;
        mutable std::wstring m_text;
        mutable bool m_haveText = false;
    };

    typedef TRegKeyIterator<SubkeyIteratorImpl> SubkeyIterator;
    typedef TRegKeyIterator<ValueIteratorImpl> ValueIterator;

    // Opens subKey under key, on another machine when machineName is given.
    CRegistryKey(HKEY key, const std::wstring &subKey, REGSAM access, const wchar_t *machineName = nullptr);

    // Connects to the predefined key on another machine.
    CRegistryKey(const std::wstring &machineName, HKEY key);

    // Takes ownership of an open key.
    explicit CRegistryKey(HKEY key);
    CRegistryKey &operator=(HKEY key);

    CRegistryKey(const CRegistryKey &rhs);
    CRegistryKey &operator=(const CRegistryKey &rhs);

    ~CRegistryKey();

    operator HKEY() const;

    CRegistryKey ConnectRegistry(const std::wstring &machineName) const;

    CRegistryKey OpenKey(const std::wstring &subKey, REGSAM access) const;

    CRegistryKey CreateOrOpenKey(const std::wstring &subKey, DWORD *disposition = nullptr,
                                 const std::wstring &className = L"", DWORD options = REG_OPTION_NON_VOLATILE,
                                 REGSAM access = KEY_ALL_ACCESS, LPSECURITY_ATTRIBUTES security = nullptr) const;

    // Refuses a key that exists already (ERROR_ALREADY_EXISTS).
    CRegistryKey CreateKey(const std::wstring &subKey, const std::wstring &className = L"",
                           DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_ALL_ACCESS,
                           LPSECURITY_ATTRIBUTES security = nullptr) const;

    // Refuses a key with subkeys (ERROR_ACCESS_DENIED).
    void DeleteKey(const std::wstring &subKey) const;

    void DeleteKeyAndSubkeys(const std::wstring &subKey) const;

    bool SubkeyExists(const std::wstring &subKey, REGSAM access = KEY_READ) const;

    // The bool queries report a missing value or one of another type as false and never throw.

    // REG_DWORD or REG_DWORD_BIG_ENDIAN of exactly 4 bytes.
    bool QueryValue(const std::wstring &name, DWORD &value) const;

    // REG_SZ or REG_EXPAND_SZ: the stored bytes, followed by one extra null character so that the
    // text ends even when it was stored without its terminator.
    bool QueryValue(const std::wstring &name, std::unique_ptr<wchar_t[]> &text) const;

    // REG_BINARY or REG_NONE.
    bool QueryValue(const std::wstring &name, std::unique_ptr<BYTE[]> &data, DWORD &size) const;

    Value QueryValue(const std::wstring &name) const;

    // REG_SZ or REG_EXPAND_SZ only, written with its terminating null.
    void SetValue(const std::wstring &name, const std::wstring &text, DWORD type = REG_SZ) const;

    // REG_DWORD or REG_DWORD_BIG_ENDIAN only, written in memory order.
    void SetValue(const std::wstring &name, DWORD value, DWORD type = REG_DWORD) const;

    // REG_BINARY.
    void SetValue(const std::wstring &name, const BYTE *data, DWORD size) const;

    void SetValue(const Value &value) const;

    void DeleteValue(const std::wstring &name) const;

    void FlushKey() const;

    void LoadKey(const std::wstring &subKey, const std::wstring &file) const;
    void UnLoadKey(const std::wstring &subKey) const;
    void SaveKey(const std::wstring &file, LPSECURITY_ATTRIBUTES security = nullptr) const;
    void RestoreKey(const std::wstring &file, DWORD flags = 0) const;
    void ReplaceKey(const std::wstring &newFile, const std::wstring &oldFile, const std::wstring &subKey) const;

    // The returned bytes are a self-relative security descriptor.
    std::vector<BYTE> GetKeySecurity(SECURITY_INFORMATION information) const;
    void SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) const;

    // Signals event when the key changes.
    void RegNotifyChangeKeyValue(HANDLE event, bool watchSubtree, DWORD filter) const;

    // Blocks until the key changes.
    void RegNotifyChangeKeyValue(bool watchSubtree, DWORD filter) const;

    SubkeyIterator BeginSubkeyIteration() const;
    SubkeyIterator EndSubkeyIteration() const;

    ValueIterator BeginValueIteration() const;
    ValueIterator EndValueIteration() const;

private:
    CCountedRegKey *m_key;
};

} // namespace Win32
} // namespace Halyard
