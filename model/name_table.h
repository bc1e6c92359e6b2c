#pragma once
// The two lookups behind every enumeration's name table: text to value (the
// first entry whose name equals the whole text, ASCII letter case folded)
// and value to name. Internal to the model's conversion code.

#include <cstddef>
#include <string_view>

#include "platform/wide_text.h"

namespace qvx {

template <typename Value>
struct NameEntry {
    Value value;
    const wchar_t* name;
};

template <typename Value, size_t N>
Value ValueOfName(const NameEntry<Value> (&table)[N], std::wstring_view text, Value unmatched) noexcept
{
    for (const auto& entry : table) {
        if (EqualsFolded(text, entry.name))
            return entry.value;
    }
    return unmatched;
}

template <typename Value, size_t N>
const wchar_t* NameOfValue(const NameEntry<Value> (&table)[N], Value value, const wchar_t* unnamed) noexcept
{
    for (const auto& entry : table) {
        if (entry.value == value)
            return entry.name;
    }
    return unnamed;
}

} // namespace qvx
