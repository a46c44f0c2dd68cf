#pragma once

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <string>

// Runs the call and checks that it throws a CException with exactly this where-text and message.
template <typename Call>
void ExpectException(Call call, const std::wstring &where, const std::wstring &message)
{
    try
    {
        call();
        ADD_FAILURE() << "expected an exception from " << testing::PrintToString(where);
    }
    catch (const Halyard::Win32::CException &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}
