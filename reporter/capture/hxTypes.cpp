#include "hxTypes.h"

// Out of line so that the class's type information lives in this unit.
HxException::~HxException() = default;

const char* HxException::what() const noexcept
{
    return message_.c_str();
}
