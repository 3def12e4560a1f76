#include "timeouts.h"

namespace {

const DWORD kMax = 0xFFFFFFFFu; // MAXDWORD

// What is left of `limit` after `elapsed`, 0 once it has passed.
DWORD Left(unsigned long long limit, DWORD elapsed) {
    if (limit <= elapsed) return 0;
    const unsigned long long left = limit - elapsed;
    return left >= kNoTimeLimit ? kNoTimeLimit - 1 : static_cast<DWORD>(left);
}

DWORD Earlier(DWORD a, DWORD b) { return a < b ? a : b; }

} // namespace

DWORD ReadTimeLeft(const COMMTIMEOUTS& timeouts, const ReadProgress& progress) {
    const DWORD interval = timeouts.ReadIntervalTimeout;
    const DWORD multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const DWORD constant = timeouts.ReadTotalTimeoutConstant;
    if (interval == kMax && multiplier == 0 && constant == 0) return 0;
    if (interval == kMax && multiplier == kMax && constant != 0 && constant != kMax) {
        return progress.received > 0 ? 0 : Left(constant, progress.elapsed);
    }
    DWORD left = kNoTimeLimit;
    if (multiplier != 0 || constant != 0) {
        const unsigned long long total = static_cast<unsigned long long>(multiplier) * progress.requested +
                                         static_cast<unsigned long long>(constant);
        left = Left(total, progress.elapsed);
    }
    if (interval != 0 && progress.received > 0) left = Earlier(left, Left(interval, progress.sinceByte));
    return left;
}

DWORD WriteTimeLeft(const COMMTIMEOUTS& timeouts, DWORD length, DWORD elapsed) {
    if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0) return kNoTimeLimit;
    const unsigned long long total = static_cast<unsigned long long>(timeouts.WriteTotalTimeoutMultiplier) * length +
                                     static_cast<unsigned long long>(timeouts.WriteTotalTimeoutConstant);
    return Left(total, elapsed);
}
