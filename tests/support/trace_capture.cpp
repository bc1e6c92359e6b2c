#include "tests/support/trace_capture.h"

namespace qvx::test {

TraceCapture::TraceCapture()
{
    trace::SetObserver(&TraceCapture::Observe, this);
}

TraceCapture::~TraceCapture()
{
    trace::SetObserver(nullptr, nullptr);
}

void TraceCapture::Observe(const trace::Record& record, void* context)
{
    auto* self = static_cast<TraceCapture*>(context);
    SrwExclusiveGuard guard(self->lock_);
    self->records_.push_back(record);
}

std::vector<trace::Record> TraceCapture::Records() const
{
    SrwSharedGuard guard(lock_);
    return records_;
}

bool TraceCapture::Contains(unsigned level, const std::wstring& text) const
{
    SrwSharedGuard guard(lock_);
    for (const auto& record : records_) {
        if ((level == 0 || record.level == level) && record.text.find(text) != std::wstring::npos)
            return true;
    }
    return false;
}

std::wstring TraceCapture::Dump() const
{
    SrwSharedGuard guard(lock_);
    std::wstring text;
    for (const auto& record : records_)
        text += trace::FormatRecord(record) + L"\n";
    return text;
}

void TraceCapture::Clear()
{
    SrwExclusiveGuard guard(lock_);
    records_.clear();
}

} // namespace qvx::test
