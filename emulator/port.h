// The emulator's end of the serial line: a new pseudo-terminal (the host opens
// its slave side) or an existing tty. Both run raw at 9600 baud, 8N1.
#ifndef CARDEMU_PORT_H
#define CARDEMU_PORT_H

#include <string>

namespace cardemu {

class Port {
public:
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { close(); }

    // Creates a pty pair; `link`, if not empty, is made a symlink to the slave.
    bool open_pty(const std::string& link, std::string& error);
    bool open_tty(const std::string& path, std::string& error);
    void close();

    // The fd the emulator reads and writes (the pty master, or the tty).
    int fd() const { return fd_; }
    // The path the host opens, e.g. /dev/pts/3.
    const std::string& name() const { return name_; }
    // A pty is read in packet mode: every read starts with a control byte,
    // TIOCPKT_DATA before data, or flags telling that the host flushed a
    // queue (so a log can show when the host's purge threw bytes away).
    bool packet_mode() const { return packet_; }

private:
    int fd_ = -1;
    // Our own handle on the pty slave: while it is open, the host may close and
    // re-open the port without the master seeing a hang-up.
    int slave_ = -1;
    bool packet_ = false;
    std::string name_;
};

// Makes `link` a symlink to `target`, replacing whatever was there, atomically.
bool replace_symlink(const std::string& target, const std::string& link, std::string& error);

} // namespace cardemu

#endif
