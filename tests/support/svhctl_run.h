#pragma once
// Runs the built svhctl.exe with a command line and expects it to start and
// end within the child deadline.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process.h"

namespace qvx::test {

inline ProgramRun RunSvhctl(const std::wstring& arguments)
{
    ProgramRun run = RunProgram(BuiltProgramPath(L"svhctl.exe"), arguments);
    EXPECT_TRUE(run.started) << "cannot start svhctl.exe";
    EXPECT_TRUE(run.finished) << "svhctl.exe did not end";
    return run;
}

} // namespace qvx::test
