#pragma once

#include <string>

namespace Halyard {
namespace Win32 {

// The name of a kernel object; the namespace prefix is added in one place and can be asked about.
class IKernelObjectName
{
public:
    virtual std::wstring GetName() const = 0;
    virtual bool IsGlobalName() const = 0;
    virtual bool IsLocalName() const = 0;
    virtual bool IsUnqualifiedName() const = 0;

protected:
    ~IKernelObjectName() = default;
};

class CKernelObjectNameImpl : public IKernelObjectName
{
public:
    // The longest full name the platform accepts for a kernel object.
    static constexpr size_t MaxNameLength = 260;

    explicit CKernelObjectNameImpl(const std::wstring &name);
    CKernelObjectNameImpl(const std::wstring &prefix, const std::wstring &name);
    // A copy of another name's text; no length test.
    CKernelObjectNameImpl(const IKernelObjectName &other);
    CKernelObjectNameImpl(const CKernelObjectNameImpl &other) = default;

    CKernelObjectNameImpl &operator=(const IKernelObjectName &other);
    CKernelObjectNameImpl &operator=(const CKernelObjectNameImpl &other) = default;

    ~CKernelObjectNameImpl() = default;

    std::wstring GetName() const override;
    bool IsGlobalName() const override;
    bool IsLocalName() const override;
    bool IsUnqualifiedName() const override;

private:
    std::wstring m_name;
};

// "Global\" + name: visible to every process on the machine, whatever its login session.
class CGlobalName : public CKernelObjectNameImpl
{
public:
    explicit CGlobalName(const std::wstring &name);
};

// The name as given.
class CUnqualifiedName : public CKernelObjectNameImpl
{
public:
    explicit CUnqualifiedName(const std::wstring &name);
};

} // namespace Win32
} // namespace Halyard
