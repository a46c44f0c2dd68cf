#include "win32/Digest.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <wincrypt.h>

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kWhere[] = L"GetMD5Digest()";

class CCryptProvider
{
public:
    CCryptProvider()
    {
        if (!::CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET))
        {
            throw CWin32Exception(kWhere, ::GetLastError());
        }
    }
    ~CCryptProvider() { ::CryptReleaseContext(m_provider, 0); }
    CCryptProvider(const CCryptProvider &) = delete;
    CCryptProvider &operator=(const CCryptProvider &) = delete;

    HCRYPTPROV Get() const { return m_provider; }

private:
    HCRYPTPROV m_provider = 0;
};

class CCryptHash
{
public:
    CCryptHash(const CCryptProvider &provider, ALG_ID algorithm)
    {
        if (!::CryptCreateHash(provider.Get(), algorithm, 0, 0, &m_hash))
        {
            throw CWin32Exception(kWhere, ::GetLastError());
        }
    }
    ~CCryptHash() { ::CryptDestroyHash(m_hash); }
    CCryptHash(const CCryptHash &) = delete;
    CCryptHash &operator=(const CCryptHash &) = delete;

    HCRYPTHASH Get() const { return m_hash; }

private:
    HCRYPTHASH m_hash = 0;
};

} // namespace

void GetMD5Digest(const BYTE *data, DWORD dataLength, BYTE *output, DWORD outputLength)
{
    const DWORD kDigestLength = 16;
    if (outputLength != kDigestLength)
    {
        throw CException(kWhere, L"Unexpected output length: " + ToString(outputLength) + L" expected: 16");
    }

    CCryptProvider provider;
    CCryptHash hash(provider, CALG_MD5);

    if (!::CryptHashData(hash.Get(), data, dataLength, 0))
    {
        throw CWin32Exception(kWhere, ::GetLastError());
    }

    DWORD count = kDigestLength;
    if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, output, &count, 0))
    {
        throw CWin32Exception(kWhere, ::GetLastError());
    }
    if (count != kDigestLength)
    {
        throw CWin32Exception(kWhere, ERROR_INVALID_DATA);
    }
}

} // namespace Win32
} // namespace Halyard
