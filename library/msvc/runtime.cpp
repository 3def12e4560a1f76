// The few symbols that code from clang for Microsoft's ABI refers to and that a
// C or C++ runtime would supply, for the library and the programs built with it
// (cmake/clang-msvc.cmake links no runtime).
#include <windows.h>

#include <stddef.h>

typedef void(__cdecl* RuntimeFunction)(void);

// The compiler turns zeroing loops and zero-initialised arrays into calls of
// memset. This file is compiled freestanding, so the loop stays a loop.
extern "C" void* __cdecl memset(void* destination, int value, size_t size) {
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(value);
    return destination;
}

// The deleting destructor that the virtual table carries frees with this. A host
// that deletes an mComm it made with new must have allocated it from the process
// heap, as Microsoft's runtime does.
void __cdecl operator delete(void* block) noexcept {
    if (block != NULL) HeapFree(GetProcessHeap(), 0, block);
}
void __cdecl operator delete(void* block, size_t) noexcept { operator delete(block); }

// The library keeps run-time type information, so that a host's typeid and
// dynamic_cast work on an mComm as with Microsoft's compiler (which exports none
// of it). Each type descriptor points at type_info's virtual table, whose one
// slot, the deleting destructor, is never called: type descriptors are static.
namespace {
void __cdecl TypeInfoDestructor() {}
} // namespace
extern "C" const RuntimeFunction kTypeInfoVirtualTable[1] __asm__("??_7type_info@@6B@") = {TypeInfoDestructor};
