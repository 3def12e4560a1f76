// The machine's serial ports, as the system lists them.
#ifndef QT741_DESK_PORTS_H
#define QT741_DESK_PORTS_H

#include <string>
#include <vector>

namespace desk {

// The COM ports the registry's serial device map (HARDWARE\DEVICEMAP\SERIALCOMM)
// and the DOS device names (QueryDosDevice) know, by number: COM1, COM2,
// COM10. A source that cannot be read adds what failed to `problems`, e.g.
// "QueryDosDeviceW failed (system error 5: access denied)".
std::vector<std::wstring> SerialPorts(std::vector<std::wstring>& problems);

} // namespace desk

#endif
