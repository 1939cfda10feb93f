// The programs as a user runs them: kivrel-call against a service of the
// test's own and against scripted peers, robot-sim's options, ports and
// signals, Skarvel's command line, and every program's --version.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fake_service.h"
#include "robot_ports.h"
#include "kivrel.hpp"
#include "kivrel_host.h"
#include "program.h"

namespace {

// Adds two integers: "[{i}{i}]" to "[{i}]".
int Add(const kivrel_datalist *args, kivrel_datalist **ret) {
  int32_t a = 0, b = 0;
  if (args == nullptr || kivrel_decompose_root_datalist(args, "[{i}{i}]", &a, &b) != 0) return 1;
  *ret = kivrel_build_root_datalist("[{i}]", a + b);
  return 0;
}
// Gives its argument list back unchanged, nested lists and all.
int Echo(const kivrel_datalist *args, kivrel_datalist **ret) {
  if (args == nullptr) return 1;
  char *doc = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_response(args, &doc, &len) != 0) return 1;
  kivrel_xml_deserialize_method_response(ret, doc);
  kivrel_xml_free(doc);
  return 0;
}
int Nothing(const kivrel_datalist *, kivrel_datalist **) { return 0; }

// A service on a free loopback port, answering calls until destroyed; one
// without introspection cannot list or describe its methods.
class TestService {
public:
  explicit TestService(bool introspection = true) : m_registry(kivrel_registry_create()) {
    kivrel_method *methods[] = {
        kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", "Adds two integers."),
        kivrel_method_create("Echo", Echo, "?", "?", "Returns its arguments."),
        kivrel_method_create("Nothing", Nothing, nullptr, nullptr, nullptr)};
    for (kivrel_method *m : methods)
      if (kivrel_registry_add_method(m_registry.get(), m) != 0) kivrel_method_destroy(m);
    if (introspection) kivrel_introspection_register(m_registry.get());
    m_host.reset(kivrel_host_create(m_registry.get(), "127.0.0.1", 0));
    if (m_host && kivrel_host_start(m_host.get()) != 0) m_host.reset();
  }
  int Port() const { return m_host ? kivrel_host_port(m_host.get()) : 0; }
  bool Listening() const { return Port() > 0; }

private:
  kivrel::Registry m_registry; // declared first: outlives the host
  kivrel::Host m_host;
};

using namespace std::chrono_literals;

ProgramRun RunTool(std::vector<std::string> args) { return RunProgram(KIVREL_CALL_PATH, args); }

// A loopback port that nothing listens on (bound, then released).
int ClosedPort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

size_t Lines(const std::string &text) {
  size_t n = 0;
  for (char c : text)
    n += c == '\n';
  return n;
}

TEST(KivrelCall, ListsDescribesAndCalls) {
  TestService service;
  ASSERT_TRUE(service.Listening());
  const std::string port = std::to_string(service.Port());

  ProgramRun list = RunTool({"127.0.0.1", port, "--list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "Add\nEcho\nNothing\nKIVREL_LIST_METHODS\nKIVREL_METHOD_SIGNATURE\n"
                      "KIVREL_METHOD_HELP\n");

  ProgramRun describe = RunTool({"127.0.0.1", port, "--describe", "Add"});
  EXPECT_EQ(describe.status, 0);
  EXPECT_EQ(describe.out, "Add\n  arguments: [{i}{i}]\n  result:    [{i}]\n"
                          "  help:      Adds two integers.\n");
  ProgramRun bare = RunTool({"127.0.0.1", port, "--describe", "Nothing"});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out, "Nothing\n  arguments: none\n  result:    none\n  help:      (none)\n");

  ProgramRun add = RunTool({"127.0.0.1", port, "Add", "[{i}{i}]", "40", "-2"});
  EXPECT_EQ(add.status, 0);
  EXPECT_EQ(add.out, "int 38\n");

  ProgramRun echo =
      RunTool({"127.0.0.1", port, "Echo", "[{i}{[{s}{[{i}]}]}{s}]", "7", "a \"b\"", "-9", "end"});
  EXPECT_EQ(echo.status, 0);
  EXPECT_EQ(echo.out, "int 7\ndatalist (2)\n  string \"a \\\"b\\\"\"\n  datalist (1)\n"
                      "    int -9\nstring \"end\"\n");

  // Answered without a result: the call worked.
  ProgramRun nothing = RunTool({"127.0.0.1", port, "Nothing"});
  EXPECT_EQ(nothing.status, 0);
  EXPECT_EQ(nothing.out, "(no result)\n");
  EXPECT_EQ(nothing.err, "");
  ProgramRun timed = RunTool({"--timeout", "5000", "127.0.0.1", port, "Add", "[{i}{i}]", "1", "2"});
  EXPECT_EQ(timed.status, 0);
  EXPECT_EQ(timed.out, "int 3\n");
}

TEST(KivrelCall, ReportsEveryErrorWithItsOwnExitStatusInOneLine) {
  TestService service;
  ASSERT_TRUE(service.Listening());
  const std::string port = std::to_string(service.Port());
  const std::string closed = std::to_string(ClosedPort());

  ProgramRun help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: kivrel-call [OPTION]... HOST PORT METHOD"), std::string::npos);
  for (const char *code :
       {"  3  HOST is not", "  4  connection refused", "  5  time-out",
        "  6  the answer is not a response document", "  7  the service does not list METHOD",
        "  8  the arguments do not fit"})
    EXPECT_NE(help.out.find(code), std::string::npos) << code;

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"127.0.0.1"}, 2, "too few arguments"},
      {{"127.0.0.1", "70000", "Add"}, 2, "is not a port number"},
      {{"127.0.0.1", port, "Add", "[{i}{i}]", "1"}, 2, "missing argument"},
      {{"127.0.0.1", port, "Add", "[{i}]", "1", "2"}, 2, "takes 1 argument(s), 2 given"},
      {{"127.0.0.1", port, "Add", "[{x}]"}, 2, "malformed signature: 'x'"},
      {{"127.0.0.1", port, "Add", "[{i}", "1"}, 2, "malformed signature: it ends"},
      {{"127.0.0.1", port, "Add", "[{i}]", "12abc"}, 2, "not a 32-bit integer"},
      {{"127.0.0.1", port, "Add", "[{i}]", "2147483648"}, 2, "not a 32-bit integer"},
      {{"127.0.0.1", port, "--describe"}, 2, "takes one method name"},
      {{"127.0.0.1", port, "--bogus"}, 2, "unknown option '--bogus'"},
      {{"--bogus", "127.0.0.1", port, "Add"}, 2, "unknown option '--bogus'"},
      {{"127.0.0.1", port, "Add", "--show-wire"}, 2, "'--show-wire' go before HOST"},
      {{"--timeout", "-5", "127.0.0.1", port, "Add"}, 2, "--timeout '-5' is not"},
      {{"--timeout", "soon", "127.0.0.1", port, "Add"}, 2, "--timeout 'soon' is not"},
      {{"--timeout"}, 2, "--timeout needs milliseconds"},
      // Not dotted IPv4, quoted as given; the loose forms would mean 127.0.0.1
      // to a lax reader.
      {{"", port, "Add"}, 3, "\"\" is not a dotted IPv4 address"},
      {{"robot", port, "Add"}, 3, "\"robot\" is not a dotted IPv4 address"},
      {{"300.1.1.1", port, "--list"}, 3, "\"300.1.1.1\" is not"},
      {{"127.1", port, "--list"}, 3, "\"127.1\" is not"},
      {{"127.000.000.001", port, "--list"}, 3, "\"127.000.000.001\" is not"},
      {{"0x7f.0.0.1", port, "--list"}, 3, "\"0x7f.0.0.1\" is not"},
      {{"127.0.0.1", closed, "Add"},
       4,
       "cannot connect to 127.0.0.1:" + closed + ": " + std::strerror(ECONNREFUSED)},
      {{"127.0.0.1", port, "--describe", "NoSuchMethod"}, 1, "does not describe NoSuchMethod"},
  };
  for (const Case &c : cases) {
    ProgramRun r = RunTool(c.args);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
    if (c.status == 2) {
      EXPECT_NE(r.err.find("(see kivrel-call --help)"), std::string::npos);
    }
    EXPECT_EQ(r.out, "");
  }
}

TEST(KivrelCall, TellsATimeOutFromAnAnswerThatIsNotAResponse) {
  FakeService quiet(0);
  quiet.Answer(FakeService::Reply::Silent);
  const auto start = std::chrono::steady_clock::now();
  ProgramRun silent =
      RunTool({"--timeout", "200", "127.0.0.1", std::to_string(quiet.Port()), "ReadPosition"});
  EXPECT_EQ(silent.status, 5) << silent.err;
  EXPECT_NE(silent.err.find("time-out"), std::string::npos) << silent.err;
  // The deadline is the option's, not the default second or longer; the
  // bound is wide so that a slow machine passes.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

  FakeService peer(0);
  const std::string port = std::to_string(peer.Port());
  const std::string call = "<?xml version=\"1.0\"?>\n<method_call/>\n";
  const struct {
    FakeService::Reply how;
    std::string bytes;
    const char *message;
  } answers[] = {
      {FakeService::Reply::Bytes, "HTTP/1.1 400 Bad Request\r\n\r\n", "response document"},
      {FakeService::Reply::Bytes, "KIVREL-1.1:5\nhello", "response document"},
      {FakeService::Reply::Bytes, "KIVREL-1.1:" + std::to_string(call.size()) + "\n" + call,
       "response document"},
      {FakeService::Reply::CloseAfterRequest, "", "response document"},
  };
  for (const auto &a : answers) {
    SCOPED_TRACE(a.bytes);
    peer.Answer(a.how, a.bytes);
    for (bool wire : {false, true}) {
      std::vector<std::string> args = {"127.0.0.1", port, "ReadPosition"};
      if (wire) args.insert(args.begin(), "--show-wire");
      ProgramRun r = RunTool(args);
      EXPECT_EQ(r.status, 6) << r.err;
      EXPECT_EQ(r.out, "");
      if (!wire) {
        EXPECT_NE(r.err.find(a.message), std::string::npos) << r.err;
      }
    }
  }
}

// What the service says of itself rules a call out before it is made; a
// service that says nothing is called as it is.
TEST(KivrelCall, RefusesACallTheServicesOwnDescriptionRulesOut) {
  TestService described;
  TestService bare(false);
  ASSERT_TRUE(described.Listening() && bare.Listening());
  const std::string port = std::to_string(described.Port());
  const std::string bare_port = std::to_string(bare.Port());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"127.0.0.1", port, "add", "[{i}{i}]", "1", "2"},
       7,
       "",
       "no method 'add' on 127.0.0.1:" + port + "; did you mean Add?\n"},
      {{"127.0.0.1", port, "Ad"}, 7, "", "did you mean Add?"},
      {{"127.0.0.1", port, "Frobnicate"}, 7, "", "(--list shows its methods"},
      {{"127.0.0.1", port, "Add", "[{i}]", "1"},
       8,
       "",
       "Add on 127.0.0.1:" + port + " takes [{i}{i}]; given [{i}]"},
      {{"127.0.0.1", port, "Add", "[{i}{s}]", "1", "x"}, 8, "", "takes [{i}{i}]; given [{i}{s}]"},
      {{"127.0.0.1", port, "Add"}, 8, "", "takes [{i}{i}]; given none"},
      {{"127.0.0.1", port, "Nothing", "[{i}]", "1"}, 8, "", "takes no arguments; given [{i}]"},
      // An undescribed shape is not checked.
      {{"127.0.0.1", port, "Echo", "[{s}]", "x"}, 0, "string \"x\"\n", ""},
      // Unchecked, the service answers an unknown name without a result.
      {{"--no-check", "127.0.0.1", port, "add", "[{i}{i}]", "1", "2"}, 0, "(no result)\n", ""},
      {{"--no-check", "127.0.0.1", port, "Add", "[{i}{i}]", "1", "2"}, 0, "int 3\n", ""},
      {{"127.0.0.1", bare_port, "Add", "[{i}{i}]", "1", "2"}, 0, "int 3\n", ""},
      {{"127.0.0.1", bare_port, "add"}, 0, "(no result)\n", ""},
      {{"--show-wire", "127.0.0.1", bare_port, "--list"},
       1,
       "",
       "the service at 127.0.0.1:" + bare_port + " does not list its methods"},
      {{"127.0.0.1", bare_port, "--describe", "Add"}, 1, "", "does not describe Add"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[2] + " " + c.args[c.args.size() > 3 ? 3 : 2]);
    ProgramRun r = RunTool(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

// A deadline ends the whole answer, however its bytes come.
TEST(KivrelCall, AStallingOrTricklingServiceIsATimeOutOnEveryPath) {
  FakeService peer(0);
  const std::string reply = FakeService::Response(FakeService::Ints({1, 2, 3}));
  for (FakeService::Reply how : {FakeService::Reply::Stall, FakeService::Reply::Trickle}) {
    // Stalled after 40 bytes; trickled whole over about three seconds.
    peer.Answer(how, how == FakeService::Reply::Stall ? reply.substr(0, 40) : reply);
    for (bool wire : {false, true}) {
      for (bool check : {false, true}) {
        SCOPED_TRACE(std::to_string(wire) + std::to_string(check));
        std::vector<std::string> args = {"--timeout", "500", "127.0.0.1",
                                         std::to_string(peer.Port()), "ReadPosition"};
        if (wire) args.insert(args.begin(), "--show-wire");
        if (!check) args.insert(args.begin(), "--no-check");
        ProgramRun r = RunTool(args);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("time-out"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
      }
    }
  }
}

TEST(KivrelCall, ShowWirePrintsBothMessagesExactlyAsTheyCrossed) {
  FakeService peer(0);
  const std::string reply = FakeService::Response(FakeService::Ints({4, -5}));
  peer.Answer(FakeService::Reply::Bytes, reply);
  ProgramRun r = RunTool({"--show-wire", "--no-check", "127.0.0.1", std::to_string(peer.Port()),
                          "VelocityControl", "[{i}{i}]", "4", "-5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "int 4\nint -5\n");
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string &body = requests[0];
  EXPECT_NE(body.find("VelocityControl"), std::string::npos);
  // What the peer received, header line and all, is what the tool shows;
  // then the reply byte for byte.
  const std::string sent = "KIVREL-1.1:" + std::to_string(body.size()) + "\n" + body;
  const size_t at = r.err.find(sent);
  ASSERT_NE(at, std::string::npos) << r.err;
  const size_t header_end = reply.find('\n') + 1;
  const size_t line_at = r.err.find(reply.substr(0, header_end), at + sent.size());
  ASSERT_NE(line_at, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(reply.substr(header_end), line_at + header_end), std::string::npos) << r.err;
}

// --- robot-sim

TEST(RobotSim, NamesTheRefusedOptionValueAndTheTakenPort) {
  const struct {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"--port-base", "abc"}, "--port-base 'abc' is not a port number"},
      {{"--port-base", "65530"}, "--port-base 65530 is too high"},
      {{"--port-base", "0"}, "--port-base '0' is not a port number"},
      {{"--port-base"}, "--port-base needs a port number"},
      {{"--seed", "x1"}, "--seed 'x1' is not a whole number"},
      {{"--bind"}, "--bind needs a local IPv4 address"},
      {{"--bind", "localhost"}, "--bind 'localhost' is not a dotted IPv4 address"},
      {{"--bind", "300.1.1.1"}, "--bind '300.1.1.1' is not a dotted IPv4 address"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    ProgramRun r = RunProgram(ROBOT_SIM_PATH, c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(see robot-sim --help)"), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
  }

  // Something else listens on the bumper's port.
  const int base = FreeRobotPortBase();
  ASSERT_NE(base, 0);
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(base + 1));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ProgramRun r = RunProgram(ROBOT_SIM_PATH, {"--port-base", std::to_string(base), "--no-terminal"});
  ::close(holder);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot listen on 127.0.0.1:" + std::to_string(base + 1) + " (bumper): " +
                       std::strerror(EADDRINUSE) + " (is another controller or simulator running?"),
            std::string::npos)
      << r.err;
}

// The address a listening socket on `port` is bound to, as the kernel
// lists it ("0100007F" for 127.0.0.1), or "" when none listens there.
std::string ListeningAddress(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted)
      return local.substr(0, local.size() - 5);
  }
  return "";
}

// Without --bind the simulator serves this machine only (the test never
// opens it to other interfaces).
TEST(RobotSim, ListensOnLoopbackUnlessToldOtherwise) {
  const int base = FreeRobotPortBase();
  ASSERT_NE(base, 0);
  Program sim(ROBOT_SIM_PATH, {"--port-base", std::to_string(base), "--no-terminal"});
  ASSERT_TRUE(sim.WaitForOutput("serving on 127.0.0.1:", 30s));
  for (int offset : {0, 1, 2, 7, 12})
    EXPECT_EQ(ListeningAddress(base + offset), "0100007F") << offset;
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(30s).status, 0);
}

// A loopback connection to `port` that has sent `bytes`, or -1.
int SendAndHold(int port, const std::string &bytes) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    ::close(s);
    return -1;
  }
  return s;
}

TEST(RobotSim, SigintAndSigtermStopItCleanlyEvenWithStalledRequests) {
  for (bool view : {false, true}) {
    for (int sig : {SIGINT, SIGTERM}) {
      SCOPED_TRACE(std::string(view ? "--view " : "") + strsignal(sig));
      const int base = FreeRobotPortBase();
      ASSERT_NE(base, 0);
      std::vector<std::string> args = {"--port-base", std::to_string(base), "--no-terminal"};
      if (view) args.push_back("--view");
      Program sim(ROBOT_SIM_PATH, args, {{"QT_QPA_PLATFORM", "offscreen"}});
      ASSERT_TRUE(sim.Started());
      ASSERT_TRUE(sim.WaitForOutput("serving", 30s));
      // A request that will never be whole in every service (whose
      // deadlines are ten seconds): the stop does not wait for them.
      std::vector<int> stalled;
      for (int offset : {0, 1, 2, 7, 12})
        stalled.push_back(SendAndHold(base + offset, std::string(KIVREL_PROTOCOL) + ": 100\n"));
      const auto t0 = std::chrono::steady_clock::now();
      sim.Signal(sig);
      ProgramRun r = sim.Finish(30s);
      EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
      for (int s : stalled) {
        EXPECT_GE(s, 0);
        ::close(s);
      }
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.status, 0) << r.err;
    }
  }
}

// --- Skarvel

#ifdef SKARVEL_PATH
TEST(Skarvel, ReadsItsCommandLineWithoutADisplay) {
  const Program::Env headless = {{"DISPLAY", std::nullopt},
                                 {"WAYLAND_DISPLAY", std::nullopt},
                                 {"QT_QPA_PLATFORM", std::nullopt}};
  ProgramRun help = RunProgram(SKARVEL_PATH, {"--help"}, headless);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--address A.B.C.D"), std::string::npos);
  EXPECT_NE(help.out.find("--port-base P"), std::string::npos);
  EXPECT_NE(help.out.find("\"... Enable\" button"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");

  const struct {
    std::vector<std::string> args;
    const char *message;
  } usage[] = {
      {{"--address", "300.1.1.1"}, "--address '300.1.1.1' is not a dotted IPv4 address"},
      {{"--address", "127.1"}, "--address '127.1' is not"},
      {{"--address=robot"}, "--address 'robot' is not"},
      {{"--address"}, "--address needs an IPv4 address"},
      {{"--adress", "127.0.0.1"}, "unknown option '--adress'"},
      {{"127.0.0.1"}, "unexpected argument '127.0.0.1'"},
      {{"--port-base", "65530"}, "--port-base 65530 is too high"},
  };
  for (const auto &c : usage) {
    SCOPED_TRACE(c.message);
    ProgramRun r = RunProgram(SKARVEL_PATH, c.args, headless);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(see Skarvel --help)"), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
  }

  // No display named, and one named that is not there: one line that
  // says how to get one, exit status 1, never Qt's abort.
  Program::Env unreachable = headless;
  unreachable[0].second = ":9797";
  for (const Program::Env &env : {headless, unreachable}) {
    ProgramRun r = RunProgram(SKARVEL_PATH, {"--address", "127.0.0.1"}, env);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("xvfb-run"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
  }
}
#endif

// --- Versions

TEST(Versions, TheLibraryAndEveryProgramReportTheProjectVersion) {
  const std::string project = KIVREL_PROJECT_VERSION;
  EXPECT_EQ(kivrel_version(), project);
  EXPECT_EQ(std::to_string(KIVREL_VERSION_MAJOR) + "." + std::to_string(KIVREL_VERSION_MINOR) +
                "." + std::to_string(KIVREL_VERSION_PATCH),
            project);
  std::vector<std::string> programs = {KIVREL_CALL_PATH, ROBOT_SIM_PATH};
#ifdef SKARVEL_PATH
  programs.push_back(SKARVEL_PATH);
#endif
  for (const std::string &path : programs) {
    SCOPED_TRACE(path);
    ProgramRun r = RunProgram(path, {"--version"}, {{"DISPLAY", std::nullopt}});
    EXPECT_EQ(r.status, 0);
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(r.out, name + " (kivrel) " + project + "\n");
  }
}

} // namespace
