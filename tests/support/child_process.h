#pragma once
// Running programs from tests: the programs the build put in build/bin, and
// this test program again as a child, for paths that end the process. The
// child is started with --gtest_filter naming one test and the environment
// variable QVX_CHILD_MODE set to `mode`; the test checks ChildMode() to know
// it is the child and do the fatal thing.

#include <windows.h>

#include <string>

namespace qvx::test {

struct ProgramRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // standard output and error together
    bool started = false;
    bool finished = false;  // ended by itself before its deadline
    bool timedOut = false;  // passed its deadline and was ended
};
using ChildResult = ProgramRun;

// A deadline no program a test runs comes near unless it hangs.
constexpr DWORD kChildDeadlineMs = 120000;

// Runs `image` with `arguments`, collecting its output, until it ends or its
// deadline passes. A program that passes the deadline is ended and the
// calling test fails, saying so.
ProgramRun RunProgram(const std::wstring& image, const std::wstring& arguments, DWORD deadlineMs = kChildDeadlineMs);

// The path of a program in the build's bin folder (QVX_BIN_DIR), as this
// process sees it (a Unix path of the build tree is drive Z: under Wine).
std::wstring BuiltProgramPath(const std::wstring& fileName);

// The mode this process was started with, or "" in the parent.
std::wstring ChildMode();

ChildResult RunChild(const std::wstring& testName, const std::wstring& mode, DWORD deadlineMs = kChildDeadlineMs);

} // namespace qvx::test
