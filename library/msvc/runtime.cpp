// The few symbols that code from clang for Microsoft's ABI refers to and that a
// C or C++ runtime would supply, for the library and the programs built with it
// (cmake/clang-msvc.cmake links no runtime); memset is in memset.cpp.
#include <windows.h>

#include <stddef.h>

typedef void(__cdecl RuntimeFunction)(void);

// new and delete on the process heap, as with Microsoft's runtime. The library
// itself only deletes: the deleting destructor in mComm's virtual table frees
// with this delete, so a host that deletes an mComm it made with new must have
// allocated it from the process heap. new raises STATUS_NO_MEMORY when the heap
// is exhausted (HEAP_GENERATE_EXCEPTIONS), as there are no C++ exceptions here.
void* __cdecl operator new(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_GENERATE_EXCEPTIONS, size); }
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
extern "C" RuntimeFunction* const kTypeInfoVirtualTable[1] __asm__("??_7type_info@@6B@") = {TypeInfoDestructor};
