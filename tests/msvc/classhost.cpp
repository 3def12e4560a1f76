// A C++ host built as one built with Microsoft's compiler would be: it uses the
// class mComm through the DLL's class exports (constructors, assignment,
// OpenPort, ClosePort, the virtual destructor).
//
//   classhost PORT MISSING
//
// PORT is a port that opens (the emulator's), MISSING one that does not exist.
// While PORT is open the host sends the device's reset frame through the
// object's own port handle; the caller checks that the device received it.
#include "mComm.h"
#include "program.h"

namespace {

const char kResetFrame[] = "\x1B\x30";

// Sends the reset frame on the object's port handle, opened for overlapped I/O,
// and waits until it went out.
bool SendReset(const mComm& port) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (overlapped.hEvent == NULL) {
        Print("CreateEventA failed with system error %lu\n", GetLastError());
        return false;
    }
    DWORD written = 0;
    bool sent = WriteFile(port.portHandle, kResetFrame, 2, &written, &overlapped) != FALSE;
    if (!sent && GetLastError() == ERROR_IO_PENDING)
        sent = GetOverlappedResult(port.portHandle, &overlapped, &written, TRUE) != FALSE;
    if (!sent) Print("WriteFile/GetOverlappedResult failed with system error %lu\n", GetLastError());
    CloseHandle(overlapped.hEvent);
    return sent && written == 2;
}

bool HeapIsValid() {
    if (HeapValidate(GetProcessHeap(), 0, NULL)) return true;
    Print("HeapValidate found the process heap damaged\n");
    return false;
}

} // namespace

int Main(int argc, char** argv) {
    if (argc != 3) {
        Print("usage: classhost PORT MISSING\n");
        return 2;
    }
    char* port = argv[1];
    char* missing = argv[2];
    Checks checks;

    mComm onStack;
    checks.Expect(!onStack.opened && onStack.portHandle == NULL, "an mComm on the stack starts closed");
    int result = onStack.OpenPort(port);
    Print("OpenPort(%s) -> %d\n", port, result);
    if (!checks.Expect(result == 1 && onStack.opened, "OpenPort on the emulator's port returns 1")) {
        return checks.Summary();
    }
    checks.Expect(SendReset(onStack), "the reset frame went out through the object's port handle");

    mComm* onHeap = new mComm;
    result = onHeap->OpenPort(missing);
    Print("OpenPort(%s) -> %d\n", missing, result);
    checks.Expect(result == -static_cast<int>(ERROR_FILE_NOT_FOUND) && !onHeap->opened,
                  "OpenPort on a missing port returns -2 (new'd object)");

    mComm copy(onStack);
    checks.Expect(copy.opened && copy.portHandle == onStack.portHandle &&
                      copy.writeOverlapped.hEvent == onStack.writeOverlapped.hEvent,
                  "a copy shares the open port and its events");
    *onHeap = onStack;
    checks.Expect(onHeap->opened && onHeap->portHandle == onStack.portHandle, "assignment copies the open port");
    checks.Expect(&(*onHeap = *onHeap) == onHeap && onHeap->portHandle == onStack.portHandle,
                  "assignment to itself keeps the object and returns it");

    result = onStack.ClosePort();
    const int again = onStack.ClosePort();
    Print("ClosePort -> %d, again -> %d\n", result, again);
    checks.Expect(result == 1 && again == 1 && !onStack.opened, "ClosePort twice returns 1 both times");

    mComm* base = onHeap;
    delete base; // the DLL's deleting destructor through the virtual table
    checks.Expect(HeapIsValid(), "after delete through the virtual destructor the process heap is valid");
    mComm* second = new mComm;
    checks.Expect(!second->opened, "a new object after the delete starts closed");
    delete second;
    checks.Expect(HeapIsValid(), "the process heap is still valid");
    return checks.Summary();
}
