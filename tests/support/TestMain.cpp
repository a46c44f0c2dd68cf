// The test programs' entry point. The framework reports a library error that escapes a test only as
// an unknown exception, so it is told to let exceptions through and this main names the test and
// the error's where-text and message before the program fails.

#include "win32/Exception.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <exception>

namespace {

const char *CurrentTestName()
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    return test != nullptr ? test->name() : "(outside any test)";
}

const char *CurrentSuiteName()
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    return test != nullptr ? test->test_suite_name() : "";
}

} // namespace

int main(int argc, char **argv)
{
    // Unbuffered, so that a program that ends abruptly still shows every failure before its end.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleMock(&argc, argv);
    GTEST_FLAG_SET(catch_exceptions, false);
    try
    {
        return RUN_ALL_TESTS();
    }
    catch (const Halyard::Win32::CException &e)
    {
        std::fprintf(stderr, "%s.%s threw: %ls - %ls\n", CurrentSuiteName(), CurrentTestName(),
                     e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "%s.%s threw: %s\n", CurrentSuiteName(), CurrentTestName(), e.what());
    }
    catch (...)
    {
        std::fprintf(stderr, "%s.%s threw an exception of an unknown type\n", CurrentSuiteName(),
                     CurrentTestName());
    }
    std::fflush(stderr);
    return 1;
}
