// Ports of a test's own for the robot's five services, so that the suite
// passes beside a simulator or a controller on the robot's ports 50010 to
// 50022. A test program reaches its services through the robot access
// layer's port base (robot_proxies.h), set once for the run.
#ifndef SKARVEL_TESTS_ROBOT_PORTS_H
#define SKARVEL_TESTS_ROBOT_PORTS_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

#include <gtest/gtest.h>

#include "robot_proxies.h"

// The services' ports above the motor driver's: bumper, ultrasonic, power
// module, emergency key.
inline constexpr int kRobotPortOffsets[] = {0, 1, 2, 7, 12};

// A base whose five service ports are free now; 0 when none was found.
// Drawn below the system's range for outgoing connections, where only
// listeners can hold a port (the kernel hands out single ports, not five at
// fixed distances).
inline int FreeRobotPortBase() {
  std::minstd_rand draw(static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int base = 20000 + static_cast<int>(draw() % 12000);
    bool free = true;
    for (int offset : kRobotPortOffsets) {
      int s = ::socket(AF_INET, SOCK_STREAM, 0);
      // As the simulator binds: a port with closed connections lingering
      // (TIME_WAIT) is free to it.
      const int on = 1;
      ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(base + offset));
      free = free && ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
      ::close(s);
    }
    if (free) return base;
  }
  return 0;
}

// For the whole run of a test program: the robot access layer reaches the
// five services at a free base of the program's own, where its simulators
// and scripted services listen (ServicePort() names their ports).
class OwnRobotPorts : public testing::Environment {
public:
  void SetUp() override {
    const int base = FreeRobotPortBase();
    ASSERT_NE(base, 0) << "no five free ports for the robot's services";
    g_robotPortBase.store(base);
  }
  void TearDown() override { g_robotPortBase.store(kRobotPortBase); }
};

// The robot's `ports` moved to where this run reaches them.
template <size_t N> std::array<int32_t, N> OwnPorts(std::array<int32_t, N> ports) {
  for (int32_t &port : ports)
    port = ServicePort(port);
  return ports;
}

#endif
