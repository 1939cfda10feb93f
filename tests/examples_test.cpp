// The programs in examples/, run as a user would run them, against their
// own service and against the simulator, all on free loopback ports.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivrel.hpp"
#include "simulator.h"

extern char **environ;

namespace {

// A program started with its standard output on a pipe.
class Program {
public:
  explicit Program(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    m_out = out[0];
  }
  ~Program() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      Wait();
    }
    if (m_out >= 0) ::close(m_out);
  }
  bool Started() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }

  // The next line of output without its line feed, or "" when none came
  // within ten seconds.
  std::string Line() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const size_t nl = m_buffer.find('\n');
      if (nl != std::string::npos) {
        std::string line = m_buffer.substr(0, nl);
        m_buffer.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{m_out, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return {};
      char buf[512];
      const ssize_t n = ::read(m_out, buf, sizeof buf);
      if (n <= 0) return {};
      m_buffer.append(buf, static_cast<size_t>(n));
    }
  }
  // Exit status, or -1 for a program ended by a signal.
  int Wait() {
    int status = 0;
    if (m_pid <= 0 || ::waitpid(m_pid, &status, 0) != m_pid) return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_buffer;
};

// Runs a short program to its end: its first line of output and status.
std::pair<std::string, int> RunToEnd(std::vector<std::string> args) {
  Program p(std::move(args));
  if (!p.Started()) return {"", -1};
  std::string line = p.Line();
  return {line, p.Wait()};
}

TEST(Examples, AddServiceAnswersAddClientAndStopsOnSignal) {
  Program service({EXAMPLE_DIR "/add_service", "0"});
  ASSERT_TRUE(service.Started());
  std::smatch m;
  const std::string first = service.Line();
  ASSERT_TRUE(
      std::regex_match(first, m, std::regex("add_service: listening on 127\\.0\\.0\\.1:(\\d+)")))
      << first;
  const std::string port = m[1];
  ASSERT_NE(port, "0");

  const auto sum = RunToEnd({EXAMPLE_DIR "/add_client", port, "20", "-62"});
  EXPECT_EQ(sum.first, "20 + -62 = -42");
  EXPECT_EQ(sum.second, 0);
  const auto wrapped = RunToEnd({EXAMPLE_DIR "/add_client", port, "2147483647", "1"});
  EXPECT_EQ(wrapped.first, "2147483647 + 1 = -2147483648");
  // Three calls at once from one poll() loop, answered in the order given.
  Program loop({EXAMPLE_DIR "/event_loop_client", port, "1", "2", "-5", "5", "40", "2"});
  ASSERT_TRUE(loop.Started());
  EXPECT_EQ(loop.Line(), "1 + 2 = 3");
  EXPECT_EQ(loop.Line(), "-5 + 5 = 0");
  EXPECT_EQ(loop.Line(), "40 + 2 = 42");
  EXPECT_EQ(loop.Wait(), 0);

  // Its introspection answers as the example's comment promises.
  kivrel::Client c(kivrel_tcp_client_create("127.0.0.1", std::stoi(port)));
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(kivrel_tcp_client_connect(c.get()), 0);
  kivrel::List name(kivrel_build_root_datalist("[{s}]", "Add"));
  kivrel::List help(kivrel_request_method_call(c.get(), "KIVREL_METHOD_HELP", name.get()));
  char text[128] = {};
  ASSERT_NE(help, nullptr);
  ASSERT_EQ(kivrel_decompose_root_datalist(help.get(), "[{s}]", text), 0);
  EXPECT_STREQ(text, "Returns the sum of two integers.");
  c.reset();

  ASSERT_EQ(::kill(service.Pid(), SIGTERM), 0);
  EXPECT_EQ(service.Line(), "add_service: stopped after 6 calls");
  EXPECT_EQ(service.Wait(), 0);
  // With the service gone, the client says so.
  const auto failed = RunToEnd({EXAMPLE_DIR "/add_client", port, "1", "1"});
  EXPECT_EQ(failed.first, "");
  EXPECT_EQ(failed.second, 1);
  const auto loop_failed = RunToEnd({EXAMPLE_DIR "/event_loop_client", port, "1", "1"});
  EXPECT_EQ(loop_failed.first, "1 + 1: call failed");
  EXPECT_EQ(loop_failed.second, 1);
}

TEST(Examples, RobotStatusReadsTheSimulator) {
  // The simulator on loopback at a base whose five ports are free. Bases
  // lie below the system's range for outgoing connections, whose ports
  // come and go with every client on this machine.
  robotsim::SimulatorOptions o;
  o.realtime = false;
  o.bind_address = "127.0.0.1";
  std::unique_ptr<robotsim::RobotSimulator> sim;
  int32_t base = 0;
  std::srand(static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 50 && !sim; ++attempt) {
    base = 20000 + std::rand() % 10000;
    o.ports = {base, base + 1, base + 2, base + 7, base + 12};
    sim = std::make_unique<robotsim::RobotSimulator>(o);
    if (!sim->Start()) sim.reset();
  }
  ASSERT_NE(sim, nullptr);
  sim->Modify([](robotsim::World &w) { w.SetOdometry(1234, -56, 78); });

  // What the example prints, worked out here from the simulator's answer.
  kivrel::Client c(kivrel_tcp_client_create("127.0.0.1", base + 7));
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(kivrel_tcp_client_connect(c.get()), 0);
  kivrel::List power(kivrel_request_method_call(c.get(), "ReadPowerStatus", nullptr));
  ASSERT_NE(power, nullptr);
  std::vector<int32_t> p;
  for (const kivrel_data *d = kivrel_datalist_get_head(power.get()); d != nullptr;
       d = kivrel_data_get_next(d))
    p.push_back(kivrel_data_int_get(static_cast<const kivrel_data_int *>(kivrel_data_get_data(d))));
  ASSERT_EQ(p.size(), 16u);

  Program status({EXAMPLE_DIR "/robot_status", std::to_string(base)});
  ASSERT_TRUE(status.Started());
  EXPECT_EQ(status.Line(), "position: x 1234 mm, y -56 mm, heading 78 deg");
  int down = 0;
  for (int i = 6; i < 14; ++i)
    down += p[i] != 0;
  EXPECT_EQ(status.Line(), "battery: " + std::to_string(p[0]) + " mV, charge " +
                               std::to_string(p[4] / 10) + "." + std::to_string(p[4] % 10) +
                               " %, modules down: " + std::to_string(down));
  EXPECT_EQ(status.Wait(), 0);

  // Without a controller it fails and says so.
  sim->Stop();
  const auto failed = RunToEnd({EXAMPLE_DIR "/robot_status", std::to_string(base)});
  EXPECT_EQ(failed.second, 1);
}

} // namespace
