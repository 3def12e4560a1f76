// The library's own port: the shared instance every card function works on, and
// the port's fixed read time-outs.
#ifndef QT741_SERIAL_PORT_H
#define QT741_SERIAL_PORT_H

#include "mComm.h"

// Read time-outs set by OpenPort. Once bytes arrive, a 50 ms gap ends a read. A
// read that receives nothing ends after 3 s per byte requested: 30 s for a
// 10-byte status answer (the user swipes the card that a write waits for
// within that time) and 20 minutes for a 400-byte track reply (the user fetches
// and swipes a card; Escape ends the wait sooner).
#define MCOMM_READ_INTERVAL_TIMEOUT 50
#define MCOMM_READ_TOTAL_MULTIPLIER 3000
#define MCOMM_READ_TOTAL_CONSTANT 2

// The library's one shared port, used by every card function.
extern mComm g_comm;

#endif
