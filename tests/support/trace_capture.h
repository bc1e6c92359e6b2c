#pragma once
// Collects the trace points written while it lives, so a test can assert
// that a failure was traced (and at which level).

#include <string>
#include <vector>

#include "platform/locks.h"
#include "platform/trace.h"

namespace qvx::test {

class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<trace::Record> Records() const;
    // Whether a point at `level` (any level for 0) holds `text` in its arguments.
    bool Contains(unsigned level, const std::wstring& text) const;
    // Every record as one text, for failure messages.
    std::wstring Dump() const;
    void Clear();

private:
    static void Observe(const trace::Record& record, void* context);

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<trace::Record> records_;
};

} // namespace qvx::test
