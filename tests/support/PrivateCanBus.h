#pragma once
// A virtual CAN bus of a test's own.
//
// Qt's virtual bus is one TCP server per port, shared by every process of the machine: with a
// bare interface name ("can0", "can1") all test programs that ctest runs side by side meet on
// the default port and hear each other's frames. A name cannot make a bus private, a port can:
// tcp://127.0.0.1:PORT/can0 on a port nobody uses. Whoever opens it first serves it; a process
// serves one port at most (later ports are reached as a client only). ctest runs each test in a
// process of its own, so a bus per process is a bus per test.

#include "platform/QtCanBus.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace vk::test {

inline int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

// A bus nobody uses yet, as the interface name for the virtualcan back end (or for another
// process, e.g. vkprog --can virtualcan:NAME).
inline std::string NewPrivateBus() {
  QLoggingCategory::setFilterRules("qt.canbus.plugins.virtualcan.info=false");
  return "tcp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/can0";
}

// This process's private bus, served from the thread that first asks (the main thread, whose
// event loop the tests keep running). Needs the application object.
inline const std::string& BusOfThisProcess() {
  static const std::string name = [] {
    std::string url = NewPrivateBus();
    platform::QtCanBus first("virtualcan", url);
    first.Open(500000);
    return url;
  }();
  return name;
}

} // namespace vk::test
