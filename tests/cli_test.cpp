// kivrel-call against a service of the test's own on a loopback port.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivrel.hpp"

extern char **environ;

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

// A service on a free loopback port, answering calls until destroyed.
class TestService {
public:
  TestService() : m_registry(kivrel_registry_create()) {
    kivrel_method *methods[] = {
        kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", "Adds two integers."),
        kivrel_method_create("Echo", Echo, "?", "?", "Returns its arguments."),
        kivrel_method_create("Nothing", Nothing, nullptr, nullptr, nullptr)};
    for (kivrel_method *m : methods)
      if (kivrel_registry_add_method(m_registry.get(), m) != 0) kivrel_method_destroy(m);
    kivrel_introspection_register(m_registry.get());
    m_host.reset(kivrel_host_create(m_registry.get(), "127.0.0.1", 0));
    if (m_host && kivrel_host_start(m_host.get()) != 0) m_host.reset();
  }
  int Port() const { return m_host ? kivrel_host_port(m_host.get()) : 0; }
  bool Listening() const { return Port() > 0; }

private:
  kivrel::Registry m_registry; // declared first: outlives the host
  kivrel::Host m_host;
};

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs kivrel-call with the arguments, collecting its output.
ToolRun RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), KIVREL_CALL_PATH);
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  posix_spawn_file_actions_addclose(&fa, err[0]);
  pid_t pid;
  ToolRun r;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) return r;
  for (int *fd : {&out[0], &err[0]}) {
    std::string &dest = fd == &out[0] ? r.out : r.err;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(*fd, buf, sizeof buf)) > 0)
      dest.append(buf, static_cast<size_t>(n));
    ::close(*fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(KivrelCall, ListsDescribesAndCalls) {
  TestService service;
  ASSERT_TRUE(service.Listening());
  const std::string port = std::to_string(service.Port());

  ToolRun list = RunTool({"127.0.0.1", port, "--list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "Add\nEcho\nNothing\nKIVREL_LIST_METHODS\nKIVREL_METHOD_SIGNATURE\n"
                      "KIVREL_METHOD_HELP\n");

  ToolRun describe = RunTool({"127.0.0.1", port, "--describe", "Add"});
  EXPECT_EQ(describe.status, 0);
  EXPECT_EQ(describe.out, "Add\n  arguments: [{i}{i}]\n  result:    [{i}]\n"
                          "  help:      Adds two integers.\n");
  ToolRun bare = RunTool({"127.0.0.1", port, "--describe", "Nothing"});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out, "Nothing\n  arguments: none\n  result:    none\n  help:      (none)\n");

  ToolRun add = RunTool({"127.0.0.1", port, "Add", "[{i}{i}]", "40", "-2"});
  EXPECT_EQ(add.status, 0);
  EXPECT_EQ(add.out, "int 38\n");

  ToolRun echo =
      RunTool({"127.0.0.1", port, "Echo", "[{i}{[{s}{[{i}]}]}{s}]", "7", "a \"b\"", "-9", "end"});
  EXPECT_EQ(echo.status, 0);
  EXPECT_EQ(echo.out, "int 7\ndatalist (2)\n  string \"a \\\"b\\\"\"\n  datalist (1)\n"
                      "    int -9\nstring \"end\"\n");

  ToolRun nothing = RunTool({"127.0.0.1", port, "Nothing"});
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.out, "no result\n");
  ToolRun unknown = RunTool({"127.0.0.1", port, "NoSuchMethod"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "no result\n");
}

TEST(KivrelCall, ReportsEveryErrorWithItsExitStatus) {
  TestService service;
  ASSERT_TRUE(service.Listening());
  const std::string port = std::to_string(service.Port());

  ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: kivrel-call HOST PORT METHOD"), std::string::npos);

  struct Case {
    std::vector<std::string> args;
    int status;
    const char *message;
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
      {{"127.0.0.1", port, "--bogus"}, 2, "unknown option"},
      {{"robot", port, "Add"}, 1, "cannot connect to robot"},
      {{"300.1.1.1", port, "--list"}, 1, "cannot connect"},
      {{"127.0.0.1", port, "--describe", "NoSuchMethod"}, 1, "does not describe"},
  };
  for (const Case &c : cases) {
    ToolRun r = RunTool(c.args);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

} // namespace
