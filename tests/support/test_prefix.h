#pragma once
// Tests that register, start or delete the real service names (qvxsvh,
// qvxtrust, qvxfwsvc) or write their keys would change a machine's own
// installation. They run only under Wine in a prefix of this build tree
// (WINEPREFIX inside the parent of QVX_BIN_DIR, as CTest sets them); anywhere
// else they are skipped with the reason.

#include <gtest/gtest.h>

#include <string>

namespace qvx::test {

// "" when this process runs under Wine with WINEPREFIX inside the build tree;
// else why it does not, in words for the test log.
std::wstring OutsideTestPrefix();

// The same check on given facts: whether Wine runs the process, WINEPREFIX
// and QVX_BIN_DIR as the environment holds them (Unix paths under Wine).
std::wstring OutsideTestPrefix(bool underWine, const std::wstring& winePrefix, const std::wstring& binDir);

std::string Narrow(const std::wstring& text);

} // namespace qvx::test

// Skips the calling test (or fixture SetUp) outside the test prefix.
#define QVX_REQUIRE_TEST_PREFIX()                                                                    \
    do {                                                                                             \
        const std::wstring qvxOutsideWhy = ::qvx::test::OutsideTestPrefix();                         \
        if (!qvxOutsideWhy.empty())                                                                  \
            GTEST_SKIP() << "changes the machine's own qvxsvh services: runs only in the Wine test " \
                            "prefix of the build tree; "                                             \
                         << ::qvx::test::Narrow(qvxOutsideWhy);                                      \
    } while (false)
