#pragma once

#include <windows.h>

namespace Halyard {
namespace Win32 {

// How a named kernel object is obtained.
enum CreationMode
{
    CreateOrOpen = 0,
    CreateNew = 1,
    OpenExisting = 2
};

// Something a thread can wait on.
class IWaitable
{
public:
    virtual HANDLE GetWaitHandle() const = 0;
    // Wait(0): true when the object is signalled now.
    virtual bool IsSignalled() const;
    // True when signalled, false on time-out.
    virtual bool Wait(DWORD timeout) const = 0;
    // Waits without a time limit.
    virtual void Wait() const = 0;

    // The wait rules every waitable shares.
    static bool WaitOnHandle(HANDLE handle, DWORD timeout);
    static void WaitOnHandle(HANDLE handle);

protected:
    IWaitable() = default;
    IWaitable(const IWaitable &) = default;
    IWaitable &operator=(const IWaitable &) = default;
    ~IWaitable() = default;
};

// Owns one kernel handle. A copy duplicates the handle, so both own one; a move hands it over.
class CSmartHandle : public IWaitable
{
public:
    CSmartHandle();
    // Takes ownership.
    explicit CSmartHandle(HANDLE handle);
    CSmartHandle(const CSmartHandle &rhs);
    CSmartHandle(CSmartHandle &&rhs) noexcept;

    CSmartHandle &operator=(const CSmartHandle &rhs);
    CSmartHandle &operator=(CSmartHandle &&rhs) noexcept;
    // Closes the held handle unless it is this one, then takes ownership.
    CSmartHandle &operator=(HANDLE handle);

    // Closes, swallowing failures and keeping the thread's last error.
    ~CSmartHandle();

    void Close();
    // Gives up ownership; the object is left empty.
    [[nodiscard]] HANDLE Release();
    HANDLE GetHandle() const;
    bool IsValid() const;

    HANDLE GetWaitHandle() const override;
    bool Wait(DWORD timeout) const override;
    void Wait() const override;

    // The same object, same access, not inheritable; the result must be owned by the caller.
    [[nodiscard]] static HANDLE DuplicateHandle(HANDLE handle);

private:
    void CloseNoThrow() noexcept;

    HANDLE m_handle;
};

} // namespace Win32
} // namespace Halyard
