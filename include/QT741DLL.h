/*
 * QT741DLL.h: the card reader/writer library's interface for C and C++ hosts.
 *
 * Open the port with CreatmComm, call the card functions, close it with
 * DestroymComm. A read or a write waits for the user to pass the card through
 * the device; the Escape key, or CardCancel from another thread, gives up the
 * wait. The library does one call at a time: a call made from another thread
 * while one is under way is refused at once (CARD_BUSY) and disturbs nothing.
 */
#ifndef QT741DLL_H
#define QT741DLL_H

#include "qt741_export.h"

/* Results of the card functions. */
/* done; the device's status answer ended in "p" (reset: the frame went out) */
#define CARD_OK 1
/* the port is not open (call CreatmComm first); nothing was sent */
#define CARD_NOT_OPEN (-1)
/* sending failed, no or a bad answer came, or the arguments were refused (a
   NULL pointer, or track data too long; arguments are checked before the port is
   looked at, so this comes even when it is closed): check the device and retry */
#define CARD_IO_FAILED (-4)
/* the user pressed Escape while the call waited, or CardCancel was called
   during the call: the wait ended, and the device was reset where the port could
   still be used (an abort that had to close the port sends no reset) */
#define CARD_CANCELLED (-5)
/* another call of the library was under way (made on another thread): this one
   was refused at once, sent nothing and touched no buffer; the call under way
   goes on undisturbed. Call again once it has returned. */
#define CARD_BUSY (-6)

/* Sizes of the buffers a host passes to the read functions, terminator included.
   A read never writes more than this; a longer track is cut to fit. */
#define CARD_TRACK1_BUFFER_SIZE 397 /* RadTr1Card: up to 396 characters */
#define CARD_TRACK2_BUFFER_SIZE 396 /* RadTr2Card: up to 395 characters */
#define CARD_TRACKS_BUFFER_SIZE 300 /* RadTr12Card, each of the two buffers: up to 299 characters */

/* Longest track data the write functions accept; longer data is refused with
   CARD_IO_FAILED before anything is sent. */
#define CARD_TRACK1_MAX_WRITE 394 /* WrTr1Card */
#define CARD_TRACK2_MAX_WRITE 393 /* WrTr2Card */
#define CARD_TRACKS_MAX_WRITE 393 /* WrTr12Card: both tracks together */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the shared port, e.g. "COM1", "COM10" or "\\\\.\\COM10", at 9600 baud, 8N1.
   1: open. 0: out of system resources. Negative: the port cannot be opened (minus
   the system error code, e.g. -2 for a missing port, -123 for a NULL or over-long
   name, -170 (ERROR_BUSY) while another call of the library is under way: nothing
   changed). Other positive values: the port is open but could not be configured
   (the system error code; a code of 1 comes back as 0x20000001). */
QT741_FUNC int QT741_CALL CreatmComm(const char* portName);

/* Closes the shared port. 1: closed (or was not open). 0: closing failed, or
   another call of the library is under way (the port stays as it was). */
QT741_FUNC int QT741_CALL DestroymComm(void);

/* Resets the device, abandoning what it was waiting for. No answer is read. */
QT741_FUNC int QT741_CALL CardReset(void);

/* Asks the device whether the last read (IsReadError) or write (IsWriteError)
   succeeded. CARD_OK when it did. IsWriteError waits for the swipe that writes
   the card, and Escape or CardCancel cancels that wait; IsReadError's short
   wait for the answer cannot be cancelled (its time-out ends it). */
QT741_FUNC int QT741_CALL IsReadError(void);
QT741_FUNC int QT741_CALL IsWriteError(void);

/* Write track 1, track 2 or both; the user then swipes the card. */
QT741_FUNC int QT741_CALL WrTr1Card(const char* track1);
QT741_FUNC int QT741_CALL WrTr2Card(const char* track2);
QT741_FUNC int QT741_CALL WrTr12Card(const char* track1, const char* track2);

/* Read track 1, track 2 or both into the host's buffers (sizes above) once the
   user swipes the card. The buffers are filled before the status is asked, so a
   CARD_IO_FAILED may come with data in them; on CARD_CANCELLED they are untouched. */
QT741_FUNC int QT741_CALL RadTr1Card(char* track1);
QT741_FUNC int QT741_CALL RadTr2Card(char* track2);
QT741_FUNC int QT741_CALL RadTr12Card(char* track1, char* track2);

/* Gives up the wait of the card function another thread is in, as the Escape
   key does: that call aborts its read, resets the device and returns
   CARD_CANCELLED. A request made at any moment after that call began counts,
   even before its wait begins; one made while no call is under way is dropped
   when the next call starts. IsReadError's wait is not ended by it. Safe from
   any thread, and on Linux from a signal handler. Never refused and never
   waits. Returns 1. */
QT741_FUNC int QT741_CALL CardCancel(void);

#ifdef __cplusplus
}
#endif

#endif
