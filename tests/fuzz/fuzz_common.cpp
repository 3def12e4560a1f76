#include "fuzz_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

namespace {

const unsigned char kFill = 0xA5; // what an untouched host buffer holds

} // namespace

sim::Bytes Input::Take(size_t count) {
    const size_t available = std::min(count, size_ - std::min(position_, size_));
    sim::Bytes bytes(data_ + position_, data_ + position_ + available);
    position_ += available;
    return bytes;
}

const DWORD kErrors[] = {ERROR_INVALID_FUNCTION,  ERROR_FILE_NOT_FOUND,    ERROR_ACCESS_DENIED,
                         ERROR_INVALID_HANDLE,    ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE,
                         ERROR_INVALID_PARAMETER, ERROR_OPERATION_ABORTED, ERROR_TIMEOUT};
const size_t kErrorCount = sizeof kErrors / sizeof kErrors[0];

DWORD PickError(uint8_t selector) { return kErrors[selector % kErrorCount]; }

void NewWorld() {
    sim::Reset();
    g_comm.opened = false;
    std::memset(&g_comm.readOverlapped, 0, sizeof g_comm.readOverlapped);
    std::memset(&g_comm.writeOverlapped, 0, sizeof g_comm.writeOverlapped);
    std::memcpy(g_comm.portName, "COM1", 4);
    g_comm.portHandle = NULL;
    for (const char* port : {"COM1", "COM2", "COM10", "COM12"})
        sim::AddPort(port);
}

HostBuffer::HostBuffer(size_t size) : data_(new char[size]), size_(size) { std::memset(data_.get(), kFill, size); }

bool HostBuffer::Touched() const {
    return std::any_of(data_.get(), data_.get() + size_, [](char c) { return static_cast<unsigned char>(c) != kFill; });
}

bool HostBuffer::Terminated() const { return std::memchr(data_.get(), '\0', size_) != nullptr; }

std::string HostBuffer::Text() const {
    const char* begin = data_.get();
    const void* end = std::memchr(begin, '\0', size_);
    return std::string(begin, end != nullptr ? static_cast<const char*>(end) : begin + size_);
}

void Broken(const std::string& what) {
    std::fprintf(stderr, "\n== invariant broken: %s\n== trace (last 80 calls):\n", what.c_str());
    const std::vector<std::string> trace = sim::Trace();
    const size_t first = trace.size() > 80 ? trace.size() - 80 : 0;
    for (size_t i = first; i < trace.size(); ++i)
        std::fprintf(stderr, "   %s\n", trace[i].c_str());
    std::fprintf(stderr, "== stand-in problems:\n");
    for (const std::string& problem : sim::Problems())
        std::fprintf(stderr, "   %s\n", problem.c_str());
    std::fflush(stderr);
    std::abort();
}

void CheckWorld(const std::string& after, bool problemsExcused) {
    // Only a read whose abort and close both failed may outlive its call.
    FUZZ_CHECK(!sim::ReadOutstanding(false), "a read is outstanding after " + after);
    if (!problemsExcused) FUZZ_CHECK(sim::Problems().empty(), "the stand-in saw misuse during " + after);
}

std::string Describe(int result) { return "result " + std::to_string(result); }

} // namespace fuzz
