// The modem's serial port set up on a pseudo-terminal: the settings a modem needs as the far
// (master) side sees them, exclusive use, and what a device without modem-control lines
// does instead (DTR through speed 0, no DCD to read).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/telephony/modem/serial_port.h"

namespace quodem::telephony::modem {
namespace {

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
      char name[128];
      if (ptsname_r(master, name, sizeof name) == 0) slave = name;
    }
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  termios Settings() const {
    termios t{};
    tcgetattr(master, &t);  // the slave's settings
    return t;
  }
};

int Exclusive(int fd) {
  int on = -1;
  return ioctl(fd, TIOCGEXCL, &on) == 0 ? on : -1;
}

TEST(SerialPort, RawEightBitLocalWithSpeedAndFlowAsTheFarSideSeesThem) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  std::string reason;
  {
    std::optional<SerialPort> port =
        SerialPort::Open(pty.slave, {57600, FlowControl::kRtsCts}, &reason);
    ASSERT_TRUE(port) << reason;
    termios t = pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(fcntl(port->fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(Exclusive(port->fd()), 1);

    // Bytes pass untouched both ways (CR stays CR, 0xFF stays 0xFF).
    const char out[] = {'A', 'T', '\r', '\n', '\xff', '\0'};
    ASSERT_EQ(write(port->fd(), out, sizeof out), static_cast<ssize_t>(sizeof out));
    char in[16];
    ASSERT_EQ(read(pty.master, in, sizeof in), static_cast<ssize_t>(sizeof out));
    EXPECT_EQ(std::string(in, sizeof out), std::string(out, sizeof out));

    // While connected, carrier matters.
    ASSERT_TRUE(port->SetLocal(false));
    EXPECT_EQ(pty.Settings().c_cflag & CLOCAL, 0u);
    ASSERT_TRUE(port->SetLocal(true));
    EXPECT_NE(pty.Settings().c_cflag & CLOCAL, 0u);

    int copy = port->Duplicate();
    ASSERT_GE(copy, 0);
    EXPECT_EQ(write(copy, "x", 1), 1);
    close(copy);
  }
  // Closed: exclusive use ends with it.
  int again = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(again, 0);
  EXPECT_EQ(Exclusive(again), 0);
  close(again);
}

TEST(SerialPort, SoftwareFlowControlAndNone) {
  Pty pty;
  std::string reason;
  std::optional<SerialPort> port =
      SerialPort::Open(pty.slave, {9600, FlowControl::kXonXoff}, &reason);
  ASSERT_TRUE(port) << reason;
  termios t = pty.Settings();
  EXPECT_NE(t.c_iflag & IXON, 0u);
  EXPECT_NE(t.c_iflag & IXOFF, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  port.reset();
  port = SerialPort::Open(pty.slave, {9600, FlowControl::kNone}, &reason);
  ASSERT_TRUE(port) << reason;
  t = pty.Settings();
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

TEST(SerialPort, DeviceWithoutModemLinesDropsDtrThroughSpeedZero) {
  Pty pty;
  std::string reason;
  std::optional<SerialPort> port =
      SerialPort::Open(pty.slave, {115200, FlowControl::kNone}, &reason);
  ASSERT_TRUE(port) << reason;
  EXPECT_FALSE(port->HasModemLines());
  EXPECT_FALSE(port->ReadModemLines());
  EXPECT_EQ(port->SetDtr(false), SerialPort::DtrMethod::kSpeedZero);
  termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), B0);
  EXPECT_EQ(port->SetDtr(true), SerialPort::DtrMethod::kSpeedZero);
  t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), B115200);
}

TEST(SerialPort, RefusesWhatIsNoTerminalOrNoSpeed) {
  std::string reason;
  EXPECT_FALSE(SerialPort::Open("/dev/null", {}, &reason));
  EXPECT_NE(reason.find("not a terminal"), std::string::npos) << reason;
  EXPECT_FALSE(SerialPort::Open("/nonexistent/ttyUSB9", {}, &reason));
  EXPECT_NE(reason.find("/nonexistent/ttyUSB9"), std::string::npos) << reason;
  Pty pty;
  EXPECT_FALSE(SerialPort::Open(pty.slave, {12345, FlowControl::kNone}, &reason));
  EXPECT_NE(reason.find("12345"), std::string::npos) << reason;
  EXPECT_EQ(SerialPort::SpeedConstant(33600), std::nullopt);
  EXPECT_EQ(SerialPort::SpeedConstant(57600), std::optional<speed_t>(B57600));
}

}  // namespace
}  // namespace quodem::telephony::modem
