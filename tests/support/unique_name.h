#pragma once
// Names that no other test program running at the same time uses: pipe
// names, registry keys, mutex names.

#include <string>

namespace qvx::test {

// prefix + "-" + process id + "-" + a counter of this process.
std::wstring UniqueName(const std::wstring& prefix);

} // namespace qvx::test
