#pragma once

// Small enumerations and sets that the property and form-stream tests share.

#include "TypInfo.h"

namespace testenums {

enum TShade { shLight, shMedium, shDark };
enum TFlag { flA, flB, flC, flD };
using TFlags = TSet<TFlag>;

}  // namespace testenums

template <>
struct TEnumTraits<testenums::TShade> {
    static constexpr const char* Names[] = {"shLight", "shMedium", "shDark"};
};
template <>
struct TEnumTraits<testenums::TFlag> {
    static constexpr const char* Names[] = {"flA", "flB", "flC", "flD"};
};
