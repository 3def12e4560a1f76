// What both fuzz targets share: reading the fuzzer's bytes, a fresh simulated
// world for every input, host buffers at exactly their documented sizes, and
// failing loudly, with the stand-in's trace, when an invariant breaks.
#ifndef QT741_TESTS_FUZZ_COMMON_H
#define QT741_TESTS_FUZZ_COMMON_H

#include <sim.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "QT741DLL.h"
#include "port.h"

namespace fuzz {

// The fuzzer's bytes, read front to back; past the end every byte reads as 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return position_ >= size_; }
    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    // Two bytes, little-endian.
    unsigned Word() {
        const unsigned low = Byte();
        return low | static_cast<unsigned>(Byte()) << 8;
    }
    // Up to `count` bytes: fewer when the input ends first.
    sim::Bytes Take(size_t count);

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// Errors a system plausibly reports for a failing call. No ERROR_SUCCESS,
// ERROR_IO_PENDING or ERROR_IO_INCOMPLETE: a call failing with those would
// claim an operation the stand-in never started.
extern const DWORD kErrors[];
extern const size_t kErrorCount;
DWORD PickError(uint8_t selector);

// A new world: time 0, g_comm closed on "COM1" as the library's start-up
// leaves it, and the ports COM1, COM2, COM10 and COM12 present.
void NewWorld();

// A host buffer of exactly `size` bytes on the heap, so that AddressSanitizer
// reports any byte written past it, filled with a pattern so that a write
// into it shows.
class HostBuffer {
public:
    explicit HostBuffer(size_t size);
    char* Data() { return data_.get(); }
    bool Touched() const;
    bool Terminated() const;
    std::string Text() const; // up to the terminator
    size_t Size() const { return size_; }

private:
    std::unique_ptr<char[]> data_;
    size_t size_;
};

// Prints what broke, the call trace's tail and the stand-in's problems, and
// aborts: libFuzzer saves the input that got here.
[[noreturn]] void Broken(const std::string& what);

// No read outstanding (unless it may outlive its call: its abort and the close
// that ends it both failed, and it keeps the library's storage) and, unless
// excused, no problem reported by the stand-in: so no read started on a record
// while one is outstanding.
void CheckWorld(const std::string& after, bool problemsExcused);

std::string Describe(int result);

} // namespace fuzz

#define FUZZ_CHECK(condition, context)                                                                                 \
    do {                                                                                                               \
        if (!(condition)) ::fuzz::Broken(std::string("check failed: " #condition " (") + (context) + ")");             \
    } while (0)

#endif
