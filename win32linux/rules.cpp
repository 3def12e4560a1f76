#include "rules.h"

#include <cstdio>
#include <cstring>

bool DevicePath(const char* name, char* path, size_t size) {
    const char* com = name;
    if (std::strncmp(com, "\\\\.\\", 4) == 0) com += 4;
    unsigned number = 0;
    bool isCom = (com[0] == 'C' || com[0] == 'c') && (com[1] == 'O' || com[1] == 'o') &&
                 (com[2] == 'M' || com[2] == 'm') && com[3] >= '1' && com[3] <= '9';
    for (const char* digit = com + 3; isCom && *digit != '\0'; ++digit) {
        isCom = *digit >= '0' && *digit <= '9' && number <= 256;
        number = number * 10 + static_cast<unsigned>(*digit - '0');
    }
    isCom = isCom && number >= 1 && number <= 256;
    const int length =
        isCom ? std::snprintf(path, size, "/dev/ttyS%u", number - 1) : std::snprintf(path, size, "%s", name);
    return length >= 0 && static_cast<size_t>(length) < size;
}
