#pragma once

// Ends the program when a test does not finish in time: a hung lock fails the run instead of
// stalling it.

#include <windows.h>

#include <cstdio>
#include <thread>

namespace Halyard {
namespace Testing {

class CWatchdog
{
public:
    explicit CWatchdog(DWORD limit)
        : m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_thread([this, limit] {
              if (::WaitForSingleObject(m_done, limit) != WAIT_OBJECT_0)
              {
                  std::fprintf(stderr, "watchdog: the test did not finish within %lu ms\n",
                               static_cast<unsigned long>(limit));
                  std::fflush(stderr);
                  ::ExitProcess(3);
              }
          })
    {
    }
    ~CWatchdog()
    {
        ::SetEvent(m_done);
        m_thread.join();
        ::CloseHandle(m_done);
    }
    CWatchdog(const CWatchdog &) = delete;
    CWatchdog &operator=(const CWatchdog &) = delete;

private:
    HANDLE m_done;
    std::thread m_thread;
};

} // namespace Testing
} // namespace Halyard
