#pragma once

// Checks on what a call throws: the library's errors are judged by where-text, message and code.

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace Halyard {
namespace Testing {

// The call must throw a CException with exactly this where-text and message.
template <typename Call>
void ExpectException(Call call, const std::wstring &where, const std::wstring &message)
{
    try
    {
        call();
        ADD_FAILURE() << "expected an exception from " << testing::PrintToString(where);
    }
    catch (const Win32::CException &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

// The call must throw a CWin32Exception with this where-text and error code; the message is the
// system's text for the code, so it is not compared.
template <typename Call>
void ExpectWin32Exception(Call call, const std::wstring &where, DWORD error)
{
    try
    {
        call();
        ADD_FAILURE() << "expected an exception from " << testing::PrintToString(where);
    }
    catch (const Win32::CWin32Exception &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(error, e.GetError());
    }
}

// The call must throw a CException; its where-text and message, joined by " - ", for looser checks.
template <typename Call>
std::wstring ThrownText(Call call)
{
    try
    {
        call();
    }
    catch (const Win32::CException &e)
    {
        return e.GetWhere() + L" - " + e.GetMessage();
    }
    ADD_FAILURE() << "expected an exception";
    return std::wstring();
}

} // namespace Testing
} // namespace Halyard
