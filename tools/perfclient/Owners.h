#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace Halyard {
namespace PerfClient {

// Owners of the few raw platform resources this library holds. Each closer keeps the thread's
// last-error value, so a failure being reported is not overwritten on the way out.
struct HandleCloser
{
    void operator()(HANDLE handle) const;
};

struct ViewUnmapper
{
    void operator()(void *view) const;
};

struct LibraryFreer
{
    void operator()(HMODULE module) const;
};

struct RegistryKeyCloser
{
    void operator()(HKEY key) const;
};

using UniqueHandle = std::unique_ptr<void, HandleCloser>;
using UniqueView = std::unique_ptr<void, ViewUnmapper>;
using UniqueLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFreer>;
using UniqueRegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyCloser>;

} // namespace PerfClient
} // namespace Halyard
