// memset for the clang/lld-link builds, which link no C runtime: the compiler
// turns zeroing loops and zero-initialised arrays into calls of it. This file is
// compiled freestanding, so the loop stays a loop, and it includes no Windows
// header, whose declaration names the parameters otherwise.
#include <stddef.h>

extern "C" void* __cdecl memset(void* destination, int value, size_t size) {
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(value);
    return destination;
}
