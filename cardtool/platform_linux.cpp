// cardtool's system services on Linux.
#include <algorithm>
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "QT741DLL.h"
#include "platform.h"

namespace {

// The terminal's settings before cardtool changed them, put back at exit and
// on the signals that end it.
termios g_savedTerminal;
volatile sig_atomic_t g_terminalChanged = 0;

void RestoreTerminal() {
    if (g_terminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
}

void EndOnSignal(int signal) {
    RestoreTerminal(); // tcsetattr is async-signal-safe
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// Reads the terminal key by key; Escape asks the waiting call to end. An
// escape sequence (a cursor key) starts with the same byte and cancels too.
void WatchKeys() {
    unsigned char key = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1) return;
        if (key == 0x1B) CardCancel();
    }
}

void* RunBody(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return NULL;
}

} // namespace

namespace platform {

double Clock() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void SleepMs(unsigned long ms) {
    timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// The codes the library passes on from its Linux layer, in Windows' words.
std::string SystemMessage(unsigned long code) {
    struct SystemText {
        unsigned long code;
        const char* text;
    };
    static const SystemText kMessages[] = {{1, "incorrect function (not a serial port?)"},
                                           {2, "file not found"},
                                           {4, "too many open files"},
                                           {5, "access denied (the port is in use, or not yours to open)"},
                                           {6, "invalid handle"},
                                           {8, "not enough memory"},
                                           {31, "a device attached to the system is not functioning"},
                                           {87, "the parameter is incorrect"},
                                           {123, "invalid name"},
                                           {1460, "timeout"}};
    const SystemText* found = std::find_if(std::begin(kMessages), std::end(kMessages),
                                           [code](const SystemText& message) { return message.code == code; });
    return found != std::end(kMessages) ? found->text : "no description";
}

// Open file descriptors: the library's port and its two events are three.
bool PrintHandles() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == NULL) {
        std::printf("  handles: /proc/self/fd cannot be read (%s)\n", std::strerror(errno));
        return false;
    }
    unsigned long count = 0;
    while (const dirent* entry = readdir(fds))
        count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(fds);
    std::printf("  handles: %lu open file descriptors\n", count - 1); // less the one reading the folder
    return true;
}

bool CpuTimes(double& user, double& kernel, std::string& error) {
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        error = std::string("getrusage failed (") + std::strerror(errno) + ")";
        return false;
    }
    user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    kernel = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
    return true;
}

// The library's version is in its file's name (libQT741DLL.so.X.Y.Z), which
// the soname the loader looked for (libQT741DLL.so.X) points at.
int PrintLibraryVersion() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&CreatmComm), &info) == 0 || info.dli_fname == NULL) {
        std::printf("cardtool: dladdr found no library for CreatmComm\n");
        return 1;
    }
    char path[PATH_MAX];
    if (realpath(info.dli_fname, path) == NULL) {
        std::printf("cardtool: realpath(\"%s\") failed (%s)\n", info.dli_fname, std::strerror(errno));
        return 1;
    }
    const char* marker = std::strstr(path, ".so.");
    if (marker == NULL) {
        std::printf("cardtool: %s carries no version in its name\n", path);
        return 1;
    }
    std::printf("libQT741DLL.so %s\n  file: %s\n  loaded as: %s\n", marker + 4, path, info.dli_fname);
    return 0;
}

// The library has no keyboard to ask on Linux: Escape on cardtool's terminal
// (when stdin is one) calls CardCancel from a thread of its own. The terminal
// is put in non-canonical mode without echo, so each key arrives at once;
// Ctrl-C still ends the program.
void WatchCancelKeys() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return;
    termios keys = g_savedTerminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) return;
    g_terminalChanged = 1;
    atexit(RestoreTerminal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::signal(signal, EndOnSignal);
    std::thread(WatchKeys).detach();
}

struct Thread::Native {
    std::function<void()> body;
    pthread_t thread;
    bool running = false;
};

Thread::Thread() : native_(std::make_unique<Native>()) {}

Thread::~Thread() {
    std::string ignored;
    Join(ignored);
}

bool Thread::Start(std::function<void()> body, std::string& error) {
    if (native_->running) {
        error = "a thread was started twice";
        return false;
    }
    native_->body = std::move(body);
    const int failed = pthread_create(&native_->thread, NULL, RunBody, &native_->body);
    if (failed != 0) {
        error = "pthread_create failed (error " + std::to_string(failed) + ": " + std::strerror(failed) + ")";
        return false;
    }
    native_->running = true;
    return true;
}

bool Thread::Join(std::string& error) {
    if (!native_->running) return true;
    const int failed = pthread_join(native_->thread, NULL);
    if (failed != 0) {
        error = "pthread_join failed (error " + std::to_string(failed) + ": " + std::strerror(failed) + ")";
        return false;
    }
    native_->running = false;
    return true;
}

} // namespace platform
