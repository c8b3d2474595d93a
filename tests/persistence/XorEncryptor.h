#pragma once

// A toy cipher for the tests: pads to four bytes and turns every byte over.

#include "rsStorage.h"

class TXorEncryptor : public TrsEncryptor {
public:
    using TrsEncryptor::TrsEncryptor;
    int EncipheredSize(int length) override { return (length + 3) / 4 * 4; }
    int DecipheredSize(int length) override { return length; }
    int Encipher(unsigned char* buffer, int length) override {
        const int size = EncipheredSize(length);
        for (int i = 0; i < size; ++i)
            buffer[i] ^= kMask;
        return size;
    }
    int Decipher(unsigned char* buffer, int length) override {
        for (int i = 0; i < length; ++i)
            buffer[i] ^= kMask;
        return length;
    }
    static constexpr unsigned char kMask = 0x5A;
};
