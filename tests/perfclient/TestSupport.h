#pragma once

#include "tests/support/ChildProcess.h"

#include <string>

namespace PerfClientTest {

// A file beside the running test program (its helper programs and fixture modules).
inline std::wstring BesideTestProgram(const std::wstring &fileName)
{
    return Halyard::Testing::ExecutableDirectory() + L"\\" + fileName;
}

} // namespace PerfClientTest
