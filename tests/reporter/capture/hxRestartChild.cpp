// A second program for the restart hand-over tests.
//   hxRestartChild wait   stands for the old process: ends when its standard input closes.
//   hxRestartChild take   takes over the history and writes it to standard output
//                         (ten hexadecimal numbers, or "none").

#include "hxExceptSupport.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 1;
    if (std::strcmp(argv[1], "wait") == 0) {
        char byte;
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got == 1) {
        }
        return 0;
    }
    if (std::strcmp(argv[1], "take") != 0)
        return 1;
    TExceptionHistory history{};
    if (!TakeOverRestartHistory(history)) {
        std::printf("none");
        return 0;
    }
    for (std::uint64_t value : history)
        std::printf("%llx ", static_cast<unsigned long long>(value));
    return 0;
}
