// The service side: method objects, the registry, kivrel_service answering
// calls on real loopback connections, and the introspection methods.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kivrel.hpp"

namespace {

// ---- ownership

using kivrel::List;
using kivrel::Method;
using kivrel::Registry; // releases every method it holds, once

void AddMethod(kivrel_registry *registry, kivrel_method *method) {
  ASSERT_NE(method, nullptr);
  ASSERT_EQ(kivrel_registry_add_method(registry, method), 0);
}

std::vector<std::string> Names(const kivrel_registry *registry) {
  std::vector<std::string> names;
  for (auto *e = kivrel_registry_get_head(registry); e; e = kivrel_registry_elmt_get_next(e))
    names.push_back(kivrel_method_get_name(kivrel_registry_elmt_get_method(e)));
  return names;
}

// A list as text: ints in decimal, strings quoted, nested lists in brackets.
std::string Render(const kivrel_datalist *list) {
  if (list == nullptr) return "null";
  std::string out;
  for (kivrel_data *v = kivrel_datalist_get_head(list); v; v = kivrel_data_get_next(v)) {
    const std::string type = kivrel_data_get_datatype(v) ? kivrel_data_get_datatype(v) : "";
    void *payload = kivrel_data_get_data(v);
    out += out.empty() ? "" : " ";
    if (type == "int")
      out += std::to_string(kivrel_data_int_get(static_cast<kivrel_data_int *>(payload)));
    else if (type == "string")
      out +=
          '"' +
          std::string(kivrel_data_string_get_string(static_cast<kivrel_data_string *>(payload))) +
          '"';
    else if (type == "datalist")
      out += Render(static_cast<kivrel_datalist *>(payload));
    else
      out += "?" + type;
  }
  return "(" + out + ")";
}

// ---- the methods the test services offer

struct Seen {
  std::atomic<int> add{0}, shadow{0}, silent{0}, plain_spy{0}, ex_spy{0};
  std::atomic<const kivrel_registry *> ex_spy_registry{nullptr};
  std::atomic<int> add_arg_count{-1};
  std::atomic<bool> add_ret_null_on_entry{false};
} g_seen;

// A method with user data: multiplies its argument by the factor it is
// handed, and records the pointer it saw.
struct Factor {
  int32_t value;
  std::atomic<const void *> seen{nullptr};
};
int Scale(const kivrel_datalist *args, kivrel_datalist **ret, void *data) {
  auto *factor = static_cast<Factor *>(data);
  factor->seen = data;
  int32_t a = 0;
  if (args == nullptr || kivrel_decompose_root_datalist(args, "[{i}]", &a) != 0) return -1;
  *ret = kivrel_build_root_datalist("[{i}]", a * factor->value);
  return 0;
}

int Add(const kivrel_datalist *args, kivrel_datalist **ret) {
  ++g_seen.add;
  g_seen.add_ret_null_on_entry = *ret == nullptr;
  g_seen.add_arg_count = args ? static_cast<int>(kivrel_datalist_get_size(args)) : -1;
  int32_t a = 0, b = 0;
  if (args == nullptr || kivrel_decompose_root_datalist(args, "[{i}{i}]", &a, &b) != 0) return 1;
  *ret = kivrel_build_root_datalist("[{i}]", a + b);
  return 42; // a status the service must not pass on
}

// Added after Add under the same name: must never run.
int Shadow(const kivrel_datalist *, kivrel_datalist **ret) {
  ++g_seen.shadow;
  *ret = kivrel_build_root_datalist("[{i}]", -1);
  return 0;
}

int Silent(const kivrel_datalist *, kivrel_datalist **) {
  ++g_seen.silent;
  return 7;
}

int StoreEmpty(const kivrel_datalist *, kivrel_datalist **ret) {
  *ret = kivrel_datalist_create();
  return 0;
}

// A byte block has no XML form, so this result cannot be sent.
int StoreBytes(const kivrel_datalist *, kivrel_datalist **ret) {
  kivrel_datalist *list = kivrel_datalist_create();
  kivrel_data *value = kivrel_data_create();
  kivrel_data_memblk_int8 *bytes = kivrel_data_memblk_int8_create(3);
  kivrel_data_memblk_int8_memset(bytes, 'x', 3);
  kivrel_data_memblk_int8_link(value, bytes);
  kivrel_datalist_ins_next(list, nullptr, value);
  *ret = list;
  return 0;
}

// Methods should not throw; one that does must not end the service.
int Throws(const kivrel_datalist *, kivrel_datalist **) {
  throw std::runtime_error("method failed");
}
int ThrowsAfterStoring(const kivrel_datalist *, kivrel_datalist **ret) {
  *ret = kivrel_build_root_datalist("[{i}]", 1);
  throw 42;
}
int ExThrows(const kivrel_datalist *, kivrel_datalist **, const kivrel_registry *) {
  throw std::bad_alloc();
}

int PlainSpy(const kivrel_datalist *, kivrel_datalist **ret) {
  ++g_seen.plain_spy;
  *ret = kivrel_build_root_datalist("[{s}]", "plain");
  return 0;
}

int ExSpy(const kivrel_datalist *, kivrel_datalist **ret, const kivrel_registry *registry) {
  ++g_seen.ex_spy;
  g_seen.ex_spy_registry = registry;
  *ret = kivrel_build_root_datalist("[{i}]", kivrel_registry_get_size(registry));
  return 0;
}

// ---- sockets

constexpr int kPortAttempts = 5;
constexpr int kIoTimeoutSeconds = 10; // only a broken service ever waits this long
constexpr int kMaxConnections = 64;
constexpr int kMaxCallsPerConnection = 32;
constexpr int kMaxReceives = 4096;

// A port the system just handed out and took back: free unless another
// program grabs it first, hence the retries.
int32_t ScratchPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  int32_t port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

using Outcomes = std::vector<std::vector<int>>;

// A service program on a thread: accepts connections one after another and
// runs kivrel_service on each until it fails, recording every result.
class ServiceRunner {
public:
  explicit ServiceRunner(kivrel_registry *registry) : service_(kivrel_service_create(registry)) {
    for (int i = 0; i < kPortAttempts && server_ == nullptr; ++i)
      if ((port_ = ScratchPort()) > 0) server_ = kivrel_tcp_server_create(port_);
    if (server_ != nullptr && service_ != nullptr) thread_ = std::thread([this] { Serve(); });
  }
  ~ServiceRunner() {
    Stop();
    kivrel_tcp_server_destroy(server_);
    kivrel_service_free(service_);
  }
  bool ok() const { return thread_.joinable(); }
  int32_t port() const { return port_; }

  // Lets the connection in hand finish, ends the accept loop and returns the
  // results, one list per connection in accept order.
  Outcomes Stop() {
    if (thread_.joinable()) {
      shutdown(kivrel_tcp_server_get_socket_fd(server_), SHUT_RDWR); // wakes the accept
      thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }

private:
  void Serve() {
    for (int n = 0; n < kMaxConnections; ++n) {
      kivrel_tcp_server *connection = kivrel_tcp_server_accept(server_);
      if (connection == nullptr) return;
      std::vector<int> results;
      do
        results.push_back(kivrel_service(connection, service_));
      while (results.back() == 0 && results.size() < kMaxCallsPerConnection);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        outcomes_.push_back(results);
      }
      kivrel_tcp_server_destroy(connection);
    }
  }

  struct kivrel_service *service_;
  kivrel_tcp_server *server_ = nullptr;
  int32_t port_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  Outcomes outcomes_;
};

// Sends raw bytes on a fresh connection, closes the sending half and returns
// everything the service wrote before it closed the connection.
std::string Exchange(int32_t port, const std::string &bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{kIoTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    ADD_FAILURE() << "cannot connect";
    return "<no connection>";
  }
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  std::string got;
  char buf[4096];
  for (int i = 0; i < kMaxReceives; ++i) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return got;
}

using kivrel::Client;

Client Connect(int32_t port) {
  Client client(kivrel_tcp_client_create("127.0.0.1", port));
  if (client != nullptr && kivrel_tcp_client_connect(client.get()) == 0) return client;
  ADD_FAILURE() << "cannot connect to port " << port;
  return nullptr;
}

// One call on a connection of its own, as the panel makes it.
std::string CallOnce(int32_t port, const char *name, const kivrel_datalist *args = nullptr) {
  Client client = Connect(port);
  if (client == nullptr) return "<no connection>";
  return Render(List(kivrel_request_method_call(client.get(), name, args)).get());
}

// ---- wire texts written out by hand

std::string Frame(const std::string &doc) {
  return "KIVREL-1.1:" + std::to_string(doc.size()) + "\n" + doc;
}
std::string Call(const std::string &name, const std::string &args = "") {
  return Frame("<?xml version=\"1.0\"?>\n<method_call><method_name>" + name +
               "</method_name><method_datalist_arg>" + args +
               "</method_datalist_arg></method_call>\n");
}
std::string StringArg(const std::string &text) {
  return "<datalist><data><string>" + text + "</string></data></datalist>";
}
const std::string kIntArg = "<datalist><data><int>5</int></data></datalist>";

// The response to a call that yields no result: 84 bytes behind its header.
const std::string kEmptyReply = "KIVREL-1.1:84\n"
                                "<?xml version=\"1.0\"?>\n"
                                "<method_response>\n"
                                "  <method_datalist_ret/>\n"
                                "</method_response>\n";

// One connection each: what is sent, what must come back, and the results
// of kivrel_service on it.
struct Case {
  const char *what;
  std::string send;
  std::string reply;
  std::vector<int> outcome;
};

void ExpectCases(ServiceRunner &runner, const std::vector<Case> &cases) {
  for (const Case &c : cases)
    EXPECT_EQ(Exchange(runner.port(), c.send), c.reply) << c.what;
  Outcomes outcomes = runner.Stop();
  ASSERT_EQ(outcomes.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(outcomes[i], cases[i].outcome) << cases[i].what;
}

// ---- method objects

struct Passed {
  const kivrel_datalist *args = nullptr;
  kivrel_datalist **ret = nullptr;
  const kivrel_registry *registry = nullptr;
  int calls = 0;
} g_passed;
int RecordingFunc(const kivrel_datalist *args, kivrel_datalist **ret) {
  g_passed = {args, ret, nullptr, g_passed.calls + 1};
  return -17;
}
int RecordingExFunc(const kivrel_datalist *args, kivrel_datalist **ret,
                    const kivrel_registry *registry) {
  g_passed = {args, ret, registry, g_passed.calls + 1};
  return 23;
}

TEST(Method, HoldsPrivateCopiesOfItsTextsAndOneFunction) {
  Method fresh(kivrel_method_new());
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(kivrel_method_get_name(fresh.get()), nullptr);
  EXPECT_EQ(kivrel_method_get_sign_datalist_arg(fresh.get()), nullptr);
  EXPECT_EQ(kivrel_method_get_sign_datalist_ret(fresh.get()), nullptr);
  EXPECT_EQ(kivrel_method_get_help(fresh.get()), nullptr);
  EXPECT_TRUE(fresh->func == nullptr && fresh->exfunc == nullptr);

  char name[] = "ServoOn", sign[] = "[{i}]", help[] = "Switches the servos on.";
  Method plain(kivrel_method_create(name, RecordingFunc, nullptr, nullptr, nullptr));
  Method ex(kivrel_method_ex_create("Ex", RecordingExFunc, sign, sign, help));
  ASSERT_TRUE(plain && ex);
  name[0] = sign[1] = help[0] = '!';
  EXPECT_STREQ(kivrel_method_get_name(plain.get()), "ServoOn");
  EXPECT_EQ(kivrel_method_get_sign_datalist_arg(plain.get()), nullptr);
  EXPECT_EQ(kivrel_method_get_sign_datalist_ret(plain.get()), nullptr);
  EXPECT_EQ(kivrel_method_get_help(plain.get()), nullptr);
  EXPECT_TRUE(plain->func == RecordingFunc && plain->exfunc == nullptr);
  EXPECT_STREQ(kivrel_method_get_sign_datalist_arg(ex.get()), "[{i}]");
  EXPECT_STREQ(kivrel_method_get_sign_datalist_ret(ex.get()), "[{i}]");
  EXPECT_NE(kivrel_method_get_sign_datalist_arg(ex.get()),
            kivrel_method_get_sign_datalist_ret(ex.get()));
  EXPECT_STREQ(kivrel_method_get_help(ex.get()), "Switches the servos on.");
  EXPECT_TRUE(ex->func == nullptr && ex->exfunc == RecordingExFunc);

  // A second name replaces the first; a text set to its own getter's
  // value stays; null clears.
  kivrel_method *m = fresh.get();
  EXPECT_EQ(kivrel_method_set_name(m, "First"), 0);
  EXPECT_EQ(kivrel_method_set_name(m, "Second"), 0);
  EXPECT_EQ(kivrel_method_set_sign_datalist_arg(m, "[{s}]"), 0);
  EXPECT_EQ(kivrel_method_set_sign_datalist_ret(m, "?"), 0);
  EXPECT_EQ(kivrel_method_set_help(m, "Some help."), 0);
  EXPECT_EQ(kivrel_method_set_name(m, kivrel_method_get_name(m)), 0);
  EXPECT_EQ(kivrel_method_set_sign_datalist_arg(m, kivrel_method_get_sign_datalist_arg(m)), 0);
  EXPECT_EQ(kivrel_method_set_sign_datalist_ret(m, kivrel_method_get_sign_datalist_ret(m)), 0);
  EXPECT_EQ(kivrel_method_set_help(m, kivrel_method_get_help(m)), 0);
  EXPECT_STREQ(kivrel_method_get_name(m), "Second");
  EXPECT_STREQ(kivrel_method_get_sign_datalist_arg(m), "[{s}]");
  EXPECT_STREQ(kivrel_method_get_sign_datalist_ret(m), "?");
  EXPECT_STREQ(kivrel_method_get_help(m), "Some help.");
  EXPECT_EQ(kivrel_method_set_help(m, nullptr), 0);
  EXPECT_EQ(kivrel_method_get_help(m), nullptr);
  EXPECT_EQ(kivrel_method_set_func(m, RecordingFunc), 0);
  EXPECT_EQ(kivrel_method_set_exfunc(m, RecordingExFunc), 0);
  EXPECT_TRUE(m->func == RecordingFunc && m->exfunc == RecordingExFunc);
}

TEST(Method, ExecutePassesEverythingThroughAndReturnsTheStatus) {
  Method plain(kivrel_method_create("P", RecordingFunc, nullptr, nullptr, nullptr));
  Method ex(kivrel_method_ex_create("E", RecordingExFunc, nullptr, nullptr, nullptr));
  Registry registry(kivrel_registry_create());
  List args(kivrel_build_root_datalist("[{i}]", 1));
  ASSERT_TRUE(plain && ex && registry && args);
  kivrel_datalist *ret = nullptr;
  g_passed = {};

  EXPECT_EQ(kivrel_method_execute(plain.get(), args.get(), &ret), -17);
  EXPECT_EQ(g_passed.calls, 1);
  EXPECT_EQ(g_passed.args, args.get());
  EXPECT_EQ(g_passed.ret, &ret);
  EXPECT_EQ(kivrel_method_ex_execute(ex.get(), nullptr, &ret, registry.get()), 23);
  EXPECT_EQ(g_passed.calls, 2);
  EXPECT_EQ(g_passed.args, nullptr);
  EXPECT_EQ(g_passed.ret, &ret);
  EXPECT_EQ(g_passed.registry, registry.get());

  // A function that throws gives -1; what it stored stays the caller's.
  Method thrower(kivrel_method_create("T", ThrowsAfterStoring, nullptr, nullptr, nullptr));
  Method ex_thrower(kivrel_method_ex_create("X", ExThrows, nullptr, nullptr, nullptr));
  EXPECT_EQ(kivrel_method_execute(thrower.get(), nullptr, &ret), -1);
  List stored(ret);
  EXPECT_EQ(Render(stored.get()), "(1)");
  ret = nullptr;
  EXPECT_EQ(kivrel_method_ex_execute(ex_thrower.get(), nullptr, &ret, registry.get()), -1);
  EXPECT_EQ(ret, nullptr);

  // The function of the other shape is missing: refused, nothing runs.
  EXPECT_EQ(kivrel_method_execute(ex.get(), args.get(), &ret), -1);
  EXPECT_EQ(kivrel_method_ex_execute(plain.get(), args.get(), &ret, registry.get()), -1);
  EXPECT_EQ(g_passed.calls, 2);
  EXPECT_EQ(ret, nullptr);
}

// ---- registry

kivrel_registry_elmt *Element(const char *name) {
  kivrel_registry_elmt *e = kivrel_registry_elmt_create();
  kivrel_registry_elmt_set_method(e, kivrel_method_create(name, Silent, nullptr, nullptr, nullptr));
  return e;
}

TEST(Registry, KeepsElementsInOrderWithHeadAndTail) {
  Registry registry(kivrel_registry_create());
  ASSERT_NE(registry, nullptr);
  kivrel_registry *r = registry.get();
  EXPECT_EQ(kivrel_registry_get_size(r), 0);
  EXPECT_EQ(kivrel_registry_get_head(r), nullptr);
  EXPECT_EQ(kivrel_registry_get_tail(r), nullptr);
  EXPECT_EQ(kivrel_registry_get_method(r, "A"), nullptr);

  kivrel_method *a = kivrel_method_create("A", Silent, nullptr, nullptr, nullptr);
  kivrel_method *c = kivrel_method_create("C", Silent, nullptr, nullptr, nullptr);
  AddMethod(r, a);
  AddMethod(r, kivrel_method_create("B", Silent, nullptr, nullptr, nullptr));
  AddMethod(r, c);
  EXPECT_EQ(kivrel_registry_get_size(r), 3);
  EXPECT_EQ(kivrel_registry_elmt_get_method(kivrel_registry_get_head(r)), a);
  EXPECT_EQ(kivrel_registry_elmt_get_method(kivrel_registry_get_tail(r)), c);
  EXPECT_EQ(kivrel_registry_elmt_get_next(kivrel_registry_get_tail(r)), nullptr);

  kivrel_registry_elmt *tail = kivrel_registry_get_tail(r);
  kivrel_registry_elmt *front = Element("Front");
  EXPECT_EQ(kivrel_registry_ins_next(r, nullptr, front), 0); // first; the tail stays
  EXPECT_EQ(kivrel_registry_get_head(r), front);
  EXPECT_EQ(kivrel_registry_get_tail(r), tail);
  kivrel_registry_elmt *back = Element("Back");
  EXPECT_EQ(kivrel_registry_ins_next(r, tail, back), 0); // after the tail: the new tail
  EXPECT_EQ(kivrel_registry_get_tail(r), back);
  EXPECT_EQ(kivrel_registry_ins_next(r, front, Element("Mid")), 0); // neither end moves
  EXPECT_EQ(kivrel_registry_get_head(r), front);
  EXPECT_EQ(kivrel_registry_get_tail(r), back);
  EXPECT_EQ(kivrel_registry_get_size(r), 6);
  EXPECT_EQ(Names(r), (std::vector<std::string>{"Front", "Mid", "A", "B", "C", "Back"}));

  Registry other(kivrel_registry_create());
  kivrel_registry_elmt *only = kivrel_registry_elmt_create();
  ASSERT_NE(only, nullptr);
  EXPECT_TRUE(kivrel_registry_elmt_get_method(only) == nullptr &&
              kivrel_registry_elmt_get_next(only) == nullptr);
  EXPECT_EQ(kivrel_registry_ins_next(other.get(), nullptr, only), 0); // both ends of an empty one
  EXPECT_EQ(kivrel_registry_get_head(other.get()), only);
  EXPECT_EQ(kivrel_registry_get_tail(other.get()), only);
  EXPECT_EQ(kivrel_registry_get_size(other.get()), 1);
}

TEST(Registry, LookupIsExactCaseSensitiveAndReturnsTheFirstAdded) {
  Registry registry(kivrel_registry_create());
  ASSERT_NE(registry, nullptr);
  kivrel_registry *r = registry.get();
  // An element without a method and a method without a name are passed over.
  kivrel_registry_ins_next(r, nullptr, kivrel_registry_elmt_create());
  AddMethod(r, kivrel_method_create(nullptr, Silent, nullptr, nullptr, nullptr));
  kivrel_method *first = kivrel_method_create("ServoOn", Silent, nullptr, nullptr, nullptr);
  kivrel_method *longer = kivrel_method_create("ServoOnNow", Add, nullptr, nullptr, nullptr);
  AddMethod(r, first);
  AddMethod(r, kivrel_method_create("ServoOn", Add, nullptr, nullptr, nullptr));
  AddMethod(r, longer);
  EXPECT_EQ(kivrel_registry_get_method(r, "ServoOn"), first);
  EXPECT_EQ(kivrel_registry_get_method(r, "ServoOnNow"), longer);
  for (const char *miss : {"servoon", "SERVOON", "Servo", "ServoOnNo", ""})
    EXPECT_EQ(kivrel_registry_get_method(r, miss), nullptr) << miss;
}

// ---- a service answering on loopback

TEST(Service, RecordHoldsItsRegistryAndNullArgumentsAreRefused) {
  Registry registry(kivrel_registry_create());
  struct kivrel_service *service = kivrel_service_create(registry.get());
  kivrel_tcp_server *connection = kivrel_tcp_server_new();
  ASSERT_TRUE(service != nullptr && connection != nullptr);
  EXPECT_EQ(kivrel_service_get_registry(service), registry.get());
  EXPECT_EQ(kivrel_service_set_registry(service, nullptr), 0);
  EXPECT_EQ(kivrel_service_get_registry(service), nullptr);
  kivrel_service_set_registry(service, registry.get());
  EXPECT_EQ(kivrel_service(nullptr, service), -1);
  EXPECT_EQ(kivrel_service(connection, nullptr), -1);
  kivrel_tcp_server_free(connection);
  kivrel_service_free(service);
}

class ServiceOnLoopback : public ::testing::Test {
protected:
  void SetUp() override {
    g_seen.add = g_seen.shadow = g_seen.silent = g_seen.plain_spy = g_seen.ex_spy = 0;
    g_seen.ex_spy_registry = nullptr;
    registry_.reset(kivrel_registry_create());
    ASSERT_NE(registry_, nullptr);
    kivrel_registry *r = registry_.get();
    AddMethod(r, kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", "Adds two integers."));
    AddMethod(r, kivrel_method_create("Add", Shadow, "[{i}{i}]", "[{i}]", "Never runs."));
    AddMethod(r, kivrel_method_create("Silent", Silent, nullptr, nullptr, nullptr));
    AddMethod(r, kivrel_method_create("StoreEmpty", StoreEmpty, nullptr, "[]", nullptr));
    AddMethod(r, kivrel_method_create("StoreBytes", StoreBytes, nullptr, "?", nullptr));
    kivrel_method *no_func = kivrel_method_new();
    kivrel_method_set_name(no_func, "NoFunc");
    AddMethod(r, no_func);
    // An ordinary name runs only a plain function, a reserved one only an
    // extended function, whatever else the method has.
    AddMethod(r, kivrel_method_ex_create("ExOnly", ExSpy, nullptr, nullptr, nullptr));
    AddMethod(r, kivrel_method_create("KIVREL_METHOD_HELP", PlainSpy, nullptr, nullptr, nullptr));
    AddMethod(r, kivrel_method_ex_create("KIVREL_LIST_METHODS", ExSpy, nullptr, nullptr, nullptr));
    AddMethod(r, kivrel_method_create("Throws", Throws, nullptr, nullptr, nullptr));
    AddMethod(r, kivrel_method_create("ThrowsAfterStoring", ThrowsAfterStoring, nullptr, nullptr,
                                      nullptr));
    runner_ = std::make_unique<ServiceRunner>(r);
    ASSERT_TRUE(runner_->ok());
  }
  void TearDown() override { runner_.reset(); }

  Registry registry_;
  std::unique_ptr<ServiceRunner> runner_;
};

TEST_F(ServiceOnLoopback, AnswersCallsOneAfterAnotherOnOneConnection) {
  Client client = Connect(runner_->port());
  ASSERT_NE(client, nullptr);
  List args(kivrel_build_root_datalist("[{i}{i}]", 2, 3));
  List sum(kivrel_request_method_call(client.get(), "Add", args.get()));
  EXPECT_EQ(Render(sum.get()), "(5)");
  List args2(kivrel_build_root_datalist("[{i}{i}]", -100, 58));
  List sum2(kivrel_request_method_call(client.get(), "Add", args2.get()));
  EXPECT_EQ(Render(sum2.get()), "(-42)");
  // A reserved name runs the extended function with the service's registry.
  List size(kivrel_request_method_call(client.get(), "KIVREL_LIST_METHODS", nullptr));
  EXPECT_EQ(Render(size.get()), "(11)");
  client.reset();

  // The call after the client closed fails, and is the last on it.
  EXPECT_EQ(runner_->Stop(), (Outcomes{{0, 0, 0, -1}}));
  EXPECT_EQ(g_seen.add, 2);
  EXPECT_EQ(g_seen.add_arg_count, 2);
  EXPECT_TRUE(g_seen.add_ret_null_on_entry);
  EXPECT_EQ(g_seen.shadow, 0); // the first "Add" added wins
  EXPECT_EQ(g_seen.ex_spy, 1);
  EXPECT_EQ(g_seen.ex_spy_registry, registry_.get());
}

TEST_F(ServiceOnLoopback, RepliesOrStaysSilentAsEachOutcomeRequires) {
  const std::string sum_doc = "<?xml version=\"1.0\"?>\n"
                              "<method_response>\n"
                              "  <method_datalist_ret>\n"
                              "    <datalist>\n"
                              "      <data>\n"
                              "        <int>42</int>\n"
                              "      </data>\n"
                              "    </datalist>\n"
                              "  </method_datalist_ret>\n"
                              "</method_response>\n";
  const std::string two_ints =
      "<datalist><data><int>40</int></data><data><int>2</int></data></datalist>";
  const std::string x = "<?xml version=\"1.0\"?>\n";
  ExpectCases(
      *runner_,
      {
          {"success", Call("Add", two_ints), Frame(sum_doc), {0, -1}},
          {"closed without a call", "", "", {-1}},
          {"foreign protocol", "KIVREL-1.0:5\nhello", "", {-1}},
          {"short body", "KIVREL-1.1:500\n" + x, "", {-1}},
          {"body not XML", Frame("this is no document"), "", {-1}},
          {"response instead of call",
           Frame(x + "<method_response><method_datalist_ret/></method_response>\n"),
           "",
           {-1}},
          {"call without a name",
           Frame(x + "<method_call><method_datalist_arg/></method_call>\n"),
           "",
           {-1}},
          {"method stores nothing", Call("Silent"), kEmptyReply, {0, -1}},
          {"method stores an empty list", Call("StoreEmpty"), "", {-1}},
          {"method stores a byte block", Call("StoreBytes"), "", {-1}},
          {"two calls in a row",
           Call("Silent") + Call("Silent", kIntArg),
           kEmptyReply + kEmptyReply,
           {0, 0, -1}},
          // Nothing runs for these names: no result, at once.
          {"unknown name", Call("NoSuchMethod", kIntArg), kEmptyReply, {0, -1}},
          {"name in other case", Call("add", two_ints), kEmptyReply, {0, -1}},
          {"prefix of a name", Call("Ad", two_ints), kEmptyReply, {0, -1}},
          {"method without a function", Call("NoFunc"), kEmptyReply, {0, -1}},
          {"ordinary name, extended function only", Call("ExOnly"), kEmptyReply, {0, -1}},
          {"reserved name, plain function only",
           Call("KIVREL_METHOD_HELP", StringArg("Add")),
           kEmptyReply,
           {0, -1}},
          {"reserved name not registered",
           Call("KIVREL_METHOD_SIGNATURE", StringArg("Add")),
           kEmptyReply,
           {0, -1}},
          // A throw is a refused call: no answer, and the service goes on.
          {"method throws", Call("Throws", kIntArg), "", {-1}},
          {"method stores a result, then throws", Call("ThrowsAfterStoring"), "", {-1}},
          {"success after the throws", Call("Add", two_ints), Frame(sum_doc), {0, -1}},
          // Nothing of a DOCTYPE is taken from the network.
          {"call with a DOCTYPE",
           Frame(x +
                 "<!DOCTYPE method_call [<!ENTITY n \"Add\">]><method_call><method_name>&n;"
                 "</method_name><method_datalist_arg>" +
                 two_ints + "</method_datalist_arg></method_call>\n"),
           "",
           {-1}},
          {"call with an undeclared entity", Call("&n;", two_ints), "", {-1}},
          {"reserved name in lower case", Call("kivrel_list_methods"), kEmptyReply, {0, -1}},
      });
  EXPECT_EQ(g_seen.add, 2);
  EXPECT_EQ(g_seen.silent, 3);
  EXPECT_EQ(g_seen.shadow + g_seen.ex_spy + g_seen.plain_spy, 0);
}

// ---- introspection on loopback

class IntrospectionOnLoopback : public ::testing::Test {
protected:
  void SetUp() override {
    registry_.reset(kivrel_registry_create());
    ASSERT_NE(registry_, nullptr);
    kivrel_registry *r = registry_.get();
    AddMethod(r, kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", "Adds two integers."));
    AddMethod(r, kivrel_method_create("ReadPosition", Silent, nullptr, "[{i}{i}{i}]", "Pose."));
    ASSERT_EQ(kivrel_introspection_register(r), 0);
    AddMethod(r, kivrel_method_create("Nested", Silent, "[{i}{[{s}{i}]}]", "?", nullptr));
    // The root list may end with the text, as when building; a nested one may not.
    AddMethod(r, kivrel_method_create("OpenRoot", Silent, nullptr, "[{i}{s}", "h"));
    AddMethod(r, kivrel_method_create("Unclosed", Silent, "[{i}{[{s}", "?", "h"));
    AddMethod(r, kivrel_method_create("Refused", Silent, nullptr, "x[{i}]", "h"));
    AddMethod(r, kivrel_method_create("Blank", Silent, "", "?", "h"));
    AddMethod(r, kivrel_method_create("Broken", Silent, "[{i}{x}]", "?", "h"));
    AddMethod(r, kivrel_method_create("EmptySig", Silent, nullptr, "[]", "h"));
    AddMethod(r, kivrel_method_create("EmptyNested", Silent, "[{[]}]", "?", "h"));
    std::string deep;
    for (int i = 0; i < 400; ++i)
      deep = "[{" + deep;
    deep += "i";
    for (int i = 0; i < 400; ++i)
      deep += "}]";
    AddMethod(r, kivrel_method_create("Deep", Silent, nullptr, deep.c_str(), "h"));
    // Neither is listed, and neither can be asked about.
    kivrel_registry_ins_next(r, kivrel_registry_get_tail(r), kivrel_registry_elmt_create());
    AddMethod(r, kivrel_method_create(nullptr, Silent, "[{i}]", "[{i}]", "nameless"));
    runner_ = std::make_unique<ServiceRunner>(r);
    ASSERT_TRUE(runner_->ok());
  }
  void TearDown() override { runner_.reset(); }

  std::string Ask(const char *method, const char *about) {
    List args(kivrel_build_root_datalist("[{s}]", about));
    return CallOnce(runner_->port(), method, args.get());
  }
  std::string Signature(const char *about) { return Ask("KIVREL_METHOD_SIGNATURE", about); }

  Registry registry_;
  std::unique_ptr<ServiceRunner> runner_;
};

TEST_F(IntrospectionOnLoopback, ListsMethodNamesInRegistryOrder) {
  const std::string names = CallOnce(runner_->port(), "KIVREL_LIST_METHODS");
  EXPECT_EQ(names, "(\"Add\" \"ReadPosition\" \"KIVREL_LIST_METHODS\" \"KIVREL_METHOD_SIGNATURE\" "
                   "\"KIVREL_METHOD_HELP\" \"Nested\" \"OpenRoot\" \"Unclosed\" \"Refused\" "
                   "\"Blank\" \"Broken\" \"EmptySig\" \"EmptyNested\" \"Deep\")");
  List args(kivrel_build_root_datalist("[{i}]", 3)); // arguments do not matter
  EXPECT_EQ(CallOnce(runner_->port(), "KIVREL_LIST_METHODS", args.get()), names);
}

TEST_F(IntrospectionOnLoopback, DescribesResultThenArgumentSignature) {
  EXPECT_EQ(Signature("KIVREL_LIST_METHODS"), "(\"undef\" \"none\")");
  EXPECT_EQ(Signature("KIVREL_METHOD_SIGNATURE"), "(\"undef\" (\"string\"))");
  EXPECT_EQ(Signature("KIVREL_METHOD_HELP"), "((\"string\") (\"string\"))");
  EXPECT_EQ(Signature("Add"), "((\"int\") (\"int\" \"int\"))");
  EXPECT_EQ(Signature("ReadPosition"), "((\"int\" \"int\" \"int\") \"none\")");
  EXPECT_EQ(Signature("Nested"), "(\"undef\" (\"int\" (\"string\" \"int\")))");
  EXPECT_EQ(Signature("OpenRoot"), "((\"int\" \"string\") \"none\")");
  // Values after the first argument are ignored.
  List args(kivrel_build_root_datalist("[{s}{i}{s}]", "Add", 1, "Nested"));
  EXPECT_EQ(CallOnce(runner_->port(), "KIVREL_METHOD_SIGNATURE", args.get()),
            "((\"int\") (\"int\" \"int\"))");
}

TEST_F(IntrospectionOnLoopback, ReturnsHelpTexts) {
  const char *help = "KIVREL_METHOD_HELP";
  EXPECT_EQ(Ask(help, "KIVREL_LIST_METHODS"),
            "(\"This method returns the list of methods of a KIVREL service.\")");
  EXPECT_EQ(Ask(help, "KIVREL_METHOD_SIGNATURE"),
            "(\"This method returns the signatures of a method.\")");
  EXPECT_EQ(Ask(help, "KIVREL_METHOD_HELP"),
            "(\"This method returns the help string of a method.\")");
  EXPECT_EQ(Ask(help, "Add"), "(\"Adds two integers.\")");
}

TEST_F(IntrospectionOnLoopback, RefusedAndUnanswerableQueries) {
  const std::string sig = "KIVREL_METHOD_SIGNATURE", help = "KIVREL_METHOD_HELP";
  auto about = [](const char *name) { return StringArg(name); };
  ExpectCases(
      *runner_,
      {
          {"signature without arguments", Call(sig), kEmptyReply, {0, -1}},
          {"signature of an integer", Call(sig, kIntArg), kEmptyReply, {0, -1}},
          {"help without arguments", Call(help), kEmptyReply, {0, -1}},
          {"help of an integer", Call(help, kIntArg), kEmptyReply, {0, -1}},
          {"help of an unknown method", Call(help, about("Nope")), kEmptyReply, {0, -1}},
          {"help of a method without help", Call(help, about("Nested")), kEmptyReply, {0, -1}},
          {"help in lower case", Call(help, about("kivrel_method_help")), kEmptyReply, {0, -1}},
          {"signature not of the grammar", Call(sig, about("Refused")), kEmptyReply, {0, -1}},
          {"signature that is empty", Call(sig, about("Blank")), kEmptyReply, {0, -1}},
          {"signature with a bad letter", Call(sig, about("Broken")), kEmptyReply, {0, -1}},
          {"signature cut off inside a nested list",
           Call(sig, about("Unclosed")),
           kEmptyReply,
           {0, -1}},
          {"signature nested too deep", Call(sig, about("Deep")), kEmptyReply, {0, -1}},
          {"signature of an unknown method", Call(sig, about("Nope")), "", {-1}},
          {"signature in lower case", Call(sig, about("kivrel_list_methods")), "", {-1}},
          {"signature \"[]\"", Call(sig, about("EmptySig")), "", {-1}},
          {"signature holding \"[]\"", Call(sig, about("EmptyNested")), "", {-1}},
      });
}

TEST(Service, DataMethodSeesItsPointerDirectlyAndThroughTheService) {
  Factor factor{7};
  Method scale(kivrel_method_create_data("Scale", Scale, &factor, "[{i}]", "[{i}]", "Scales."));
  ASSERT_NE(scale, nullptr);
  EXPECT_EQ(kivrel_method_get_data(scale.get()), &factor);
  EXPECT_EQ(scale->func, nullptr);
  List six(kivrel_build_root_datalist("[{i}]", 6));
  kivrel_datalist *direct = nullptr;
  EXPECT_EQ(kivrel_method_execute(scale.get(), six.get(), &direct), 0);
  EXPECT_EQ(Render(List(direct).get()), "(42)");
  EXPECT_EQ(factor.seen, &factor);

  Registry registry(kivrel_registry_create());
  ASSERT_NE(registry, nullptr);
  AddMethod(registry.get(), scale.release());
  ServiceRunner runner(registry.get());
  ASSERT_TRUE(runner.ok());
  factor.seen = nullptr;
  EXPECT_EQ(CallOnce(runner.port(), "Scale", six.get()), "(42)");
  EXPECT_EQ(factor.seen, &factor);
  // A new pointer takes effect at the next call.
  Factor other{-2};
  ASSERT_EQ(kivrel_method_set_data(kivrel_registry_get_method(registry.get(), "Scale"), &other), 0);
  EXPECT_EQ(CallOnce(runner.port(), "Scale", six.get()), "(-12)");
  EXPECT_EQ(other.seen, &other);
  EXPECT_EQ(runner.Stop(), (Outcomes{{0, -1}, {0, -1}}));
}

TEST(Registry, DestroyReleasesElementsAndEveryMethodOnceInOneCall) {
  // Leak checking (ASan, valgrind) is what proves this one: ten methods,
  // introspection, one method added twice, every text set.
  kivrel_registry *registry = kivrel_registry_create();
  ASSERT_NE(registry, nullptr);
  ASSERT_EQ(kivrel_introspection_register(registry), 0);
  Factor factor{1};
  kivrel_method *twice = nullptr;
  for (int i = 0; i < 10; ++i) {
    std::string name = "M" + std::to_string(i);
    kivrel_method *m =
        i % 2 ? kivrel_method_create(name.c_str(), Add, "[{i}{i}]", "[{i}]", "h")
              : kivrel_method_create_data(name.c_str(), Scale, &factor, "[{i}]", "[{i}]", "h");
    AddMethod(registry, m);
    if (i == 4) twice = m;
  }
  AddMethod(registry, twice);
  kivrel_registry_add_method(registry, nullptr); // an element without a method
  EXPECT_EQ(kivrel_registry_get_size(registry), 15);
  kivrel_registry_destroy(registry, 1);

  // Without the methods: they stay the caller's.
  registry = kivrel_registry_create();
  Method kept(kivrel_method_create("Kept", Add, nullptr, nullptr, nullptr));
  AddMethod(registry, kept.get());
  kivrel_registry_destroy(registry, 0);
  EXPECT_STREQ(kivrel_method_get_name(kept.get()), "Kept");
  kivrel_registry_destroy(nullptr, 1);
  kivrel_method_destroy(nullptr);
  kivrel_service_destroy(kivrel_service_create(nullptr));
}

// ---- the answer to one call body, without I/O

// A method under a reserved name that reports failure: with or without a
// result, its status is ignored as any other method's.
int ExFailsSilently(const kivrel_datalist *, kivrel_datalist **, const kivrel_registry *) {
  return -1;
}
int ExFailsWithResult(const kivrel_datalist *, kivrel_datalist **ret, const kivrel_registry *) {
  *ret = kivrel_build_root_datalist("[{i}]", 9);
  return -1;
}

std::string IntReply(int value) {
  return Frame("<?xml version=\"1.0\"?>\n"
               "<method_response>\n"
               "  <method_datalist_ret>\n"
               "    <datalist>\n"
               "      <data>\n"
               "        <int>" +
               std::to_string(value) +
               "</int>\n"
               "      </data>\n"
               "    </datalist>\n"
               "  </method_datalist_ret>\n"
               "</method_response>\n");
}

TEST(ServiceAnswer, GivesTheWholeResponseMessageOrNoAnswer) {
  Registry registry(kivrel_registry_create());
  kivrel_registry *r = registry.get();
  AddMethod(r, kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", nullptr));
  AddMethod(r, kivrel_method_create("Throws", Throws, nullptr, nullptr, nullptr));
  AddMethod(r, kivrel_method_create("StoreEmpty", StoreEmpty, nullptr, "[]", nullptr));
  AddMethod(
      r, kivrel_method_ex_create("KIVREL_METHOD_HELP", ExFailsSilently, nullptr, nullptr, nullptr));
  AddMethod(r, kivrel_method_ex_create("KIVREL_LIST_METHODS", ExFailsWithResult, nullptr, nullptr,
                                       nullptr));
  kivrel::Service service(kivrel_service_create(r));
  ASSERT_NE(service, nullptr);
  // The document behind a call's header line.
  auto doc = [](const std::string &framed) { return framed.substr(framed.find('\n') + 1); };
  const std::string two_ints =
      "<datalist><data><int>40</int></data><data><int>2</int></data></datalist>";
  const struct {
    const char *what;
    std::string body;
    std::string message; // "" for no answer (-1)
  } cases[] = {
      {"a sum", doc(Call("Add", two_ints)), IntReply(42)},
      {"an unknown name", doc(Call("Nothing")), kEmptyReply},
      {"reserved name, -1 and no result", doc(Call("KIVREL_METHOD_HELP")), kEmptyReply},
      {"reserved name, -1 and a result", doc(Call("KIVREL_LIST_METHODS")), IntReply(9)},
      {"a method that throws", doc(Call("Throws")), ""},
      {"a result that cannot be encoded", doc(Call("StoreEmpty")), ""},
      {"a response, not a call",
       "<?xml version=\"1.0\"?>\n<method_response><method_datalist_ret/></method_response>\n", ""},
      {"an empty body", "", ""},
  };
  for (const auto &c : cases) {
    char *message = nullptr;
    int32_t len = -1;
    const int rc = kivrel_service_answer(service.get(), c.body.c_str(), &message, &len);
    kivrel::Text owned(message);
    if (c.message.empty()) {
      EXPECT_EQ(rc, -1) << c.what;
      EXPECT_EQ(message, nullptr) << c.what;
      continue;
    }
    ASSERT_EQ(rc, 0) << c.what;
    ASSERT_NE(message, nullptr) << c.what;
    EXPECT_EQ(std::string(message, static_cast<size_t>(len)), c.message) << c.what;
    EXPECT_EQ(message[len], '\0') << c.what;
  }
  char *message = nullptr;
  EXPECT_EQ(kivrel_service_answer(nullptr, "x", &message, nullptr), -1);
  EXPECT_EQ(kivrel_service_answer(service.get(), nullptr, &message, nullptr), -1);
  EXPECT_EQ(message, nullptr);
}

} // namespace
