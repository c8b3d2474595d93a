#pragma once

// The reporter's own exception class and its dynamic-array types.

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

class HxException : public std::exception {
public:
    explicit HxException(std::string message) : message_(std::move(message)) {}
    ~HxException() override;
    const char* what() const noexcept override;
    const std::string& Message() const noexcept { return message_; }

private:
    std::string message_;
};

using TSmallIntArray = std::vector<std::int16_t>;
using TCardinalArray = std::vector<std::uint32_t>;
using TIntegerArray = std::vector<std::int32_t>;
using TStringArray = std::vector<std::string>;
