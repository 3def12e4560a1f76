// The identifiers of the desk's dialog and its controls, shared by desk.rc and
// the C++ sources.
#ifndef QT741_DESK_RESOURCE_H
#define QT741_DESK_RESOURCE_H

#define IDD_DESK 100

#define IDC_PORT 1001
#define IDC_REFRESH 1002
#define IDC_OPEN 1003
#define IDC_CLOSE 1004
#define IDC_PORT_STATE 1005
#define IDC_FIND 1006

#define IDC_TRACK1 1010
#define IDC_TRACK1_NOTE 1011
#define IDC_TRACK2 1012
#define IDC_TRACK2_NOTE 1013

#define IDC_WRITE 1020
#define IDC_READ 1021
#define IDC_READ_TRACKS 1022
#define IDC_FILL 1023
#define IDC_RESET 1024
#define IDC_READ_OK 1025
#define IDC_WRITE_OK 1026
#define IDC_CARD 1027
/* The Cancel button is IDCANCEL: Escape in the window presses it. */

#define IDC_STATUS 1030
#define IDC_LOG 1031
#define IDC_COPY 1032
#define IDC_CLEAR 1033
#define IDC_LOG_FULL 1034

#define IDC_BATCH 1040
#define IDC_LOAD 1041
#define IDC_SAVE 1042
#define IDC_VERIFY 1043
#define IDC_ROWS 1044
#define IDC_PROGRESS 1045
#define IDC_BATCH_STATUS 1046
#define IDC_RUN 1047
#define IDC_PAUSE 1048
#define IDC_SKIP 1049
#define IDC_RETRY 1050
#define IDC_STOP 1051

#endif
