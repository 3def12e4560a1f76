/* A C host of libQT741DLL.so for tests/bindings/native_hosts.py: the public
   header from C, and CardCancel from a signal handler.

     c_host PORT cycle TRACK1 TRACK2   write both tracks, read them back, ask the status, then
                                       re-open on a missing port (the port is left marked open
                                       with no handle) before the close
     c_host PORT cancel                a read that SIGUSR1 cancels: its handler calls CardCancel

   Prints each call as "NAME<TAB>RESULT[<TAB>TRACK...]"; "waiting" before the read. */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "QT741DLL.h"

static volatile sig_atomic_t cancelResult = 0;

static void OnSignal(int signal) {
    (void)signal;
    cancelResult = CardCancel();
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    printf("CreatmComm\t%d\n", CreatmComm(argv[1]));
    if (strcmp(argv[2], "cycle") == 0 && argc == 5) {
        char track1[CARD_TRACKS_BUFFER_SIZE] = "", track2[CARD_TRACKS_BUFFER_SIZE] = "";
        printf("WrTr12Card\t%d\n", WrTr12Card(argv[3], argv[4]));
        const int read = RadTr12Card(track1, track2);
        printf("RadTr12Card\t%d\t%s\t%s\n", read, track1, track2);
        printf("IsReadError\t%d\n", IsReadError());
        printf("CreatmComm\t%d\n", CreatmComm("/nonexistent/tty"));
    } else {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, NULL);
        char track[CARD_TRACK1_BUFFER_SIZE] = "";
        printf("waiting\n");
        fflush(stdout);
        const int read = RadTr1Card(track);
        printf("CardCancel\t%d\n", (int)cancelResult);
        printf("RadTr1Card\t%d\t%s\n", read, track);
    }
    printf("DestroymComm\t%d\n", DestroymComm());
    return 0;
}
