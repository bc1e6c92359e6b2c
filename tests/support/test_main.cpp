#include <gtest/gtest.h>

#include <windows.h>

#include "platform/trace.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // The test prefix's system environment sends the service host's trace to
    // a file for the tests that read it; a test program's own trace stays
    // where it went before, and its timing with it.
    SetEnvironmentVariableW(L"QVXSVH_TRACE", nullptr);
    qvx::trace::Register();
    int result = RUN_ALL_TESTS();
    qvx::trace::Unregister();
    return result;
}
