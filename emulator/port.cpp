#include "port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cardemu {

namespace {

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Raw bytes both ways (no echo, no CR/LF translation, no signals), 9600 8N1,
// modem lines ignored.
bool make_raw(int fd, const std::string& name, std::string& error) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        error = errno_text("tcgetattr " + name);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, B9600) != 0 || ::cfsetospeed(&t, B9600) != 0 || ::tcsetattr(fd, TCSANOW, &t) != 0) {
        error = errno_text("tcsetattr " + name);
        return false;
    }
    return true;
}

} // namespace

bool replace_symlink(const std::string& target, const std::string& link, std::string& error) {
    const std::string tmp = link + ".tmp." + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) {
        error = errno_text("symlink " + tmp);
        return false;
    }
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        error = errno_text("rename to " + link);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool Port::open_pty(const std::string& link, std::string& error) {
    close();
    fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = errno_text("posix_openpt");
        return false;
    }
    char buf[128];
    if (::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0 || ::ptsname_r(fd_, buf, sizeof buf) != 0) {
        error = errno_text("pty setup");
        close();
        return false;
    }
    name_ = buf;
    slave_ = ::open(name_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        error = errno_text(name_);
        close();
        return false;
    }
    if (!make_raw(slave_, name_, error)) {
        close();
        return false;
    }
    int on = 1;
    if (::ioctl(fd_, TIOCPKT, &on) != 0) {
        error = errno_text("TIOCPKT " + name_);
        close();
        return false;
    }
    packet_ = true;
    if (!link.empty() && !replace_symlink(name_, link, error)) {
        close();
        return false;
    }
    return true;
}

bool Port::open_tty(const std::string& path, std::string& error) {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = errno_text(path);
        return false;
    }
    name_ = path;
    if (!make_raw(fd_, name_, error)) {
        close();
        return false;
    }
    return true;
}

void Port::close() {
    if (slave_ >= 0) ::close(slave_);
    if (fd_ >= 0) ::close(fd_);
    slave_ = -1;
    fd_ = -1;
    packet_ = false;
}

} // namespace cardemu
