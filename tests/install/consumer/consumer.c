/* A host of the installed library, as users build one: writes both tracks,
   reads them back, compares. As C++ it also opens and closes the port with an
   mComm of its own (mComm.h, and the Win32 subset it includes). It prints the
   library the loader mapped ("library PATH").
     consumer PORT    exit status 0: every call succeeded, the tracks came back */
#include <stdio.h>
#include <string.h>

#include "QT741DLL.h"
#ifdef __cplusplus
#include "mComm.h"
#endif

static void PrintLibrary(void) {
    char line[4096];
    FILE* maps = fopen("/proc/self/maps", "r");
    while (maps != NULL && fgets(line, sizeof line, maps) != NULL) {
        const char* path = strchr(line, '/');
        if (path != NULL && strstr(path, "/libQT741DLL.so") != NULL) {
            printf("library %s", path);
            break;
        }
    }
    if (maps != NULL) fclose(maps);
}

int main(int argc, char** argv) {
    const char* track1 = "B4111111111111111^INSTALLED/HOST^2512101";
    const char* track2 = "4111111111111111=2512101";
    char read1[CARD_TRACKS_BUFFER_SIZE] = "", read2[CARD_TRACKS_BUFFER_SIZE] = "";
    if (argc != 2) return 2;
    PrintLibrary();
#ifdef __cplusplus
    mComm port;
    const int opened = port.OpenPort(argv[1]), closed = port.ClosePort();
    printf("mComm OpenPort %d, ClosePort %d\n", opened, closed);
    if (opened != 1 || closed != 1) return 1;
#endif
    const int created = CreatmComm(argv[1]), written = WrTr12Card(track1, track2);
    const int read = RadTr12Card(read1, read2), destroyed = DestroymComm();
    printf("CreatmComm %d, WrTr12Card %d, RadTr12Card %d \"%s\" \"%s\", DestroymComm %d\n", created, written, read,
           read1, read2, destroyed);
    return !(created == 1 && written == CARD_OK && read == CARD_OK && strcmp(read1, track1) == 0 &&
             strcmp(read2, track2) == 0 && destroyed == 1);
}
