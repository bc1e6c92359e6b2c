#pragma once
// Runs this test program again as a child, for paths that end the process.
// The child is started with --gtest_filter naming one test and the
// environment variable QVX_CHILD_MODE set to `mode`; the test checks
// ChildMode() to know it is the child and do the fatal thing.

#include <windows.h>

#include <string>

namespace qvx::test {

struct ChildResult {
    DWORD exitCode = 0;
    std::string output; // standard output and error together
    bool finished = false;
};

// The mode this process was started with, or "" in the parent.
std::wstring ChildMode();

ChildResult RunChild(const std::wstring& testName, const std::wstring& mode, DWORD timeoutMs = 60000);

} // namespace qvx::test
