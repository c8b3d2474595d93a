#pragma once

// Holds a slim reader/writer lock exclusively for a scope.

#include <windows.h>

class TExclusive {
public:
    explicit TExclusive(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~TExclusive() { ReleaseSRWLockExclusive(&lock_); }
    TExclusive(const TExclusive&) = delete;
    TExclusive& operator=(const TExclusive&) = delete;

private:
    SRWLOCK& lock_;
};
