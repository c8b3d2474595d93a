#include "JclFileUtils.h"

std::string PathRemoveSeparator(const std::string& path) {
    if (!path.empty() && path.back() == '\\')
        return path.substr(0, path.size() - 1);
    return path;
}
