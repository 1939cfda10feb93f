// kivrel-call: call any method of a service built on libkivrel from a shell.
//
//   kivrel-call [OPTION]... HOST PORT METHOD [SIGNATURE [ARG...]]
//   kivrel-call [OPTION]... HOST PORT --list
//   kivrel-call [OPTION]... HOST PORT --describe METHOD
//
// The exit status tells what happened (kExit* below, and --help).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivrel.hpp"

#ifndef KIVREL_PROJECT_VERSION
#define KIVREL_PROJECT_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotDescribed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBadAddress = 3;
constexpr int kExitRefused = 4;
constexpr int kExitTimeout = 5;
constexpr int kExitNotAResponse = 6;
// Nesting the tool accepts on the command line; the library refuses deeper.
constexpr int kMaxDepth = KIVREL_MAX_DEPTH;
// Longest --timeout: an hour (0 waits for ever).
constexpr long kTimeoutMaxMs = 3600 * 1000;
// Longest header line --show-wire reads, line feed included.
constexpr int32_t kWireLineMax = 1024;

const char kUsage[] =
    "Usage: kivrel-call [OPTION]... HOST PORT METHOD [SIGNATURE [ARG...]]\n"
    "  or:  kivrel-call [OPTION]... HOST PORT --list\n"
    "  or:  kivrel-call [OPTION]... HOST PORT --describe METHOD\n"
    "Calls METHOD on the libkivrel service at HOST (dotted IPv4) and PORT and\n"
    "prints the result list, one value per line with its type, nested lists\n"
    "indented; \"(no result)\" when the service answered without one.\n"
    "SIGNATURE describes the arguments: a list is [ values ], a value is { item },\n"
    "an item is i (integer), s (text) or a nested list; ARGs follow in order.\n"
    "--list prints the service's methods, --describe METHOD its signatures and help.\n"
    "\n"
    "Options (before HOST):\n"
    "  --timeout MS   give up when connecting, sending the call or receiving\n"
    "                 the answer takes longer than MS milliseconds (0 to\n"
    "                 3600000, 0 waits for ever; default 1000)\n"
    "  --show-wire    print the request and the response on standard error\n"
    "                 exactly as sent and received, header lines included\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the service answered (with a result, or \"(no result)\")\n"
    "  1  --describe: the service does not describe that method\n"
    "  2  usage error\n"
    "  3  HOST is not a dotted IPv4 address\n"
    "  4  connection refused, or no route to HOST\n"
    "  5  time-out: no connection or no answer in time\n"
    "  6  the answer is not a response document (or the service closed the\n"
    "     connection without one)\n"
    "\n"
    "Examples:\n"
    "  kivrel-call 127.0.0.1 50010 --list        the motor driver's methods\n"
    "  kivrel-call 127.0.0.1 50010 ReadPosition  the robot's odometry\n"
    "  kivrel-call 127.0.0.1 50017 PowerUp '[{i}]' 1\n"
    "                                            switch the Drive module on\n"
    "  kivrel-call --timeout 300 --show-wire 127.0.0.1 50012 ReadSensors\n"
    "                                            ultrasonic ranges, bytes shown\n";

using kivrel::Client;
using kivrel::List;

struct UsageError {
  std::string message;
};

bool ParseInt(const char *text, int32_t *out) {
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
    return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// Builds the argument list from the signature and the texts, walking the
// signature grammar the library uses; errors are reported as usage errors.
class ArgumentBuilder {
public:
  ArgumentBuilder(const char *sign, std::vector<const char *> args)
      : m_pos(sign), m_args(std::move(args)) {}

  List Build() {
    List list = ParseList(0);
    if (*m_pos != '\0') throw UsageError{"text after the signature's closing ']'"};
    if (m_next != m_args.size())
      throw UsageError{"the signature takes " + std::to_string(m_next) + " argument(s), " +
                       std::to_string(m_args.size()) + " given"};
    return list;
  }

private:
  List ParseList(int depth) {
    if (depth >= kMaxDepth) throw UsageError{"signature nested too deeply"};
    if (*m_pos != '[') throw UsageError{Where("'['")};
    ++m_pos;
    List list(kivrel_datalist_create());
    if (!list) throw UsageError{"out of memory"};
    while (*m_pos != ']') {
      if (*m_pos != '{') throw UsageError{Where("'{' or ']'")};
      ++m_pos;
      kivrel_data *value = kivrel_data_create();
      if (value == nullptr) throw UsageError{"out of memory"};
      kivrel_datalist_ins_next(list.get(), kivrel_datalist_get_tail(list.get()), value);
      if (*m_pos == 'i') {
        ++m_pos;
        int32_t v;
        const char *text = Take("i");
        if (!ParseInt(text, &v))
          throw UsageError{std::string("'") + text + "' is not a 32-bit integer"};
        kivrel_data_int_link(value, kivrel_data_int_create(v));
      } else if (*m_pos == 's') {
        ++m_pos;
        kivrel_data_string_link(value, kivrel_data_string_create(Take("s")));
      } else if (*m_pos == '[') {
        kivrel_data_datalist_link(value, ParseList(depth + 1).release());
      } else {
        throw UsageError{Where("'i', 's' or '['")};
      }
      if (kivrel_data_get_data(value) == nullptr) throw UsageError{"out of memory"};
      if (*m_pos != '}') throw UsageError{Where("'}'")};
      ++m_pos;
    }
    ++m_pos;
    return list;
  }
  const char *Take(const char *letter) {
    if (m_next >= m_args.size())
      throw UsageError{std::string("missing argument for '") + letter + "' (the signature takes " +
                       "more arguments than given)"};
    return m_args[m_next++];
  }
  std::string Where(const char *expected) const {
    if (*m_pos == '\0')
      return std::string("malformed signature: it ends where ") + expected + " is expected";
    return std::string("malformed signature: '") + *m_pos + "' where " + expected + " is expected";
  }

  const char *m_pos;
  std::vector<const char *> m_args;
  size_t m_next = 0;
};

std::string Quote(const char *s) {
  std::string out = "\"";
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    switch (*p) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (*p < 0x20 || *p == 0x7f) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", *p);
        out += buf;
      } else {
        out += static_cast<char>(*p);
      }
    }
  }
  return out + "\"";
}

const char *TypeOf(const kivrel_data *v) {
  const char *t = kivrel_data_get_datatype(v);
  return t != nullptr ? t : "";
}

void Print(const kivrel_datalist *list, int indent) {
  for (kivrel_data *v = kivrel_datalist_get_head(list); v != nullptr; v = kivrel_data_get_next(v)) {
    std::string pad(static_cast<size_t>(indent) * 2, ' ');
    const char *type = TypeOf(v);
    if (std::strcmp(type, "int") == 0) {
      std::printf("%sint %d\n", pad.c_str(),
                  kivrel_data_int_get(static_cast<kivrel_data_int *>(kivrel_data_get_data(v))));
    } else if (std::strcmp(type, "string") == 0) {
      std::printf("%sstring %s\n", pad.c_str(),
                  Quote(kivrel_data_string_get_string(
                            static_cast<kivrel_data_string *>(kivrel_data_get_data(v))))
                      .c_str());
    } else if (std::strcmp(type, "datalist") == 0) {
      auto *nested = static_cast<kivrel_datalist *>(kivrel_data_get_data(v));
      std::printf("%sdatalist (%u)\n", pad.c_str(), kivrel_datalist_get_size(nested));
      Print(nested, indent + 1);
    } else {
      std::printf("%s%s\n", pad.c_str(), type[0] ? type : "(untyped)");
    }
  }
}

// Turns a signature description back into signature text: "int" is {i},
// "string" is {s}, a nested description is a nested list.
std::string SignatureText(const kivrel_data *description) {
  const char *type = TypeOf(description);
  if (std::strcmp(type, "string") == 0) {
    const char *s = kivrel_data_string_get_string(
        static_cast<kivrel_data_string *>(kivrel_data_get_data(description)));
    if (std::strcmp(s, "none") == 0) return "none";
    if (std::strcmp(s, "undef") == 0) return "? (not described)";
    return s;
  }
  if (std::strcmp(type, "datalist") != 0) return "?";
  std::string out = "[";
  auto *list = static_cast<kivrel_datalist *>(kivrel_data_get_data(description));
  for (kivrel_data *v = kivrel_datalist_get_head(list); v != nullptr; v = kivrel_data_get_next(v)) {
    if (std::strcmp(TypeOf(v), "datalist") == 0) {
      // Appended piecewise: GCC 12 warns (-Wrestrict) on "{" + text + "}".
      out += '{';
      out += SignatureText(v);
      out += '}';
    } else if (std::strcmp(TypeOf(v), "string") == 0) {
      const char *s =
          kivrel_data_string_get_string(static_cast<kivrel_data_string *>(kivrel_data_get_data(v)));
      out += std::strcmp(s, "int") == 0 ? "{i}" : std::strcmp(s, "string") == 0 ? "{s}" : "{?}";
    } else {
      out += "{?}";
    }
  }
  return out + "]";
}

// Why a call did not give an answer, with the exit status that reports it.
struct Failure {
  int status;
  std::string message;
};

void WriteWire(const char *direction, const char *bytes, size_t size) {
  std::fprintf(stderr, "kivrel-call: %s %zu bytes:\n", direction, size);
  std::fwrite(bytes, 1, size, stderr);
  if (size == 0 || bytes[size - 1] != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

class Session {
public:
  Session(const char *host, int32_t port, int32_t timeout_ms, bool show_wire)
      : m_host(host), m_port(port), m_timeoutMs(timeout_ms), m_showWire(show_wire) {}

  // One call on a fresh connection. True when the service answered, with
  // the result list (null for none) at `*result`; false with `*failure`.
  bool Call(const char *method, const kivrel_datalist *args, List *result, Failure *failure) {
    Client client(kivrel_tcp_client_create(m_host, m_port));
    if (!client) {
      *failure = {kExitRefused, "cannot make a socket: " + std::string(std::strerror(errno))};
      return false;
    }
    if (m_timeoutMs >= 0 && kivrel_tcp_client_set_timeout_ms(client.get(), m_timeoutMs) != 0) {
      *failure = {kExitUsage, "the library refuses the time-out " + std::to_string(m_timeoutMs)};
      return false;
    }
    errno = 0;
    if (kivrel_tcp_client_connect(client.get()) != 0) {
      *failure = ConnectFailure(errno);
      return false;
    }
    if (m_showWire) return CallShowingWire(client.get(), method, args, result, failure);
    kivrel_datalist *list = nullptr;
    errno = 0;
    if (kivrel_request_method_call_status(client.get(), method, args, &list) != 0) {
      *failure = AnswerFailure(errno);
      return false;
    }
    result->reset(list);
    return true;
  }

private:
  std::string Where() const { return std::string(m_host) + " port " + std::to_string(m_port); }

  Failure ConnectFailure(int error) const {
    switch (error) {
    case ECONNREFUSED:
      return {kExitRefused, "connection refused by " + Where() + " (nothing listens there)"};
    case ETIMEDOUT:
    case EINPROGRESS:
    case EAGAIN:
      return {kExitTimeout, "time-out: no connection to " + Where() + " in time"};
    default:
      return {kExitRefused, "cannot connect to " + Where() + ": " + std::strerror(error)};
    }
  }

  // The library gives no reason for a failed call; the errno its failing
  // socket call left is the hint (a deadline leaves EAGAIN). Anything else
  // is an answer that was not a response document, or none at all.
  Failure AnswerFailure(int error) const {
    if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT)
      return {kExitTimeout, "time-out: " + Where() + " did not answer in time"};
    return {kExitNotAResponse, Where() + " did not answer with a response document "
                                         "(--show-wire shows what came)"};
  }

  // The same exchange as the library's call, framed here so that every
  // byte can be shown and every way of failing named.
  bool CallShowingWire(kivrel_tcp_client *client, const char *method, const kivrel_datalist *args,
                       List *result, Failure *failure) {
    const int fd = kivrel_tcp_client_get_socket_fd(client);
    char *doc_text = nullptr;
    int doc_len = 0;
    if (kivrel_xml_serialize_method_call(method, args, &doc_text, &doc_len) != 0) {
      *failure = {kExitUsage, "cannot write a call document for these arguments"};
      return false;
    }
    kivrel::XmlText doc(doc_text);
    kivrel::Header made(kivrel_header_create(KIVREL_PROTOCOL, doc_len));
    char *line_text = nullptr;
    int32_t line_len = 0;
    if (!made || kivrel_header_serialize(made.get(), &line_text, &line_len) != 0) {
      *failure = {kExitUsage, "cannot write a header line"};
      return false;
    }
    const kivrel::Text line_owner(line_text);
    std::string request(line_text, static_cast<size_t>(line_len));
    request.append(doc.get(), static_cast<size_t>(doc_len));
    WriteWire("sent", request.data(), request.size());
    errno = 0;
    if (kivrel_utility_writen(fd, request.data(), static_cast<int32_t>(request.size())) !=
        static_cast<int32_t>(request.size())) {
      *failure = errno == EAGAIN ? AnswerFailure(errno)
                                 : Failure{kExitNotAResponse, Where() + " closed the connection "
                                                                        "before the call was sent"};
      return false;
    }

    char line[kWireLineMax];
    errno = 0;
    const int32_t got = kivrel_utility_readline(fd, line, kWireLineMax);
    if (got < 0) {
      *failure = AnswerFailure(errno);
      return false;
    }
    // The count includes the terminator unless a line feed ended the line.
    const size_t line_bytes = std::strlen(line);
    WriteWire("received header line of", line, line_bytes);
    if (got == 0 || line_bytes == 0) {
      *failure = {kExitNotAResponse, Where() + " closed the connection without answering"};
      return false;
    }
    kivrel_header *parsed = nullptr;
    if (line[line_bytes - 1] != '\n' || kivrel_header_deserialize(&parsed, line) != 0) {
      *failure = {kExitNotAResponse, "the answer does not start with a header line"};
      return false;
    }
    const kivrel::Header header(parsed);
    const std::string name = kivrel_header_get_name_ver(header.get());
    const int32_t length = kivrel_header_get_bodylen(header.get());
    if (name != KIVREL_PROTOCOL) {
      *failure = {kExitNotAResponse,
                  "the answer's header names the protocol \"" + name + "\", not " KIVREL_PROTOCOL};
      return false;
    }
    // The library's own limit, so that --show-wire refuses what a call would.
    if (length < 0 || length > kivrel_get_max_message_size()) {
      *failure = {kExitNotAResponse, "the answer's header announces " + std::to_string(length) +
                                         " bytes (at most " +
                                         std::to_string(kivrel_get_max_message_size()) + ")"};
      return false;
    }
    std::string body(static_cast<size_t>(length), '\0');
    errno = 0;
    const int32_t read = kivrel_utility_readn(fd, body.data(), length);
    if (read >= 0) WriteWire("received body of", body.data(), static_cast<size_t>(read));
    if (read < 0) {
      *failure = AnswerFailure(errno);
      return false;
    }
    if (read != length) {
      *failure = {kExitNotAResponse, "the answer ended after " + std::to_string(read) + " of " +
                                         std::to_string(length) + " announced bytes"};
      return false;
    }
    kivrel_datalist *list = nullptr;
    if (kivrel_xml_deserialize_method_response(&list, body.c_str()) != 0) {
      *failure = {kExitNotAResponse, "the answer is not a response document"};
      return false;
    }
    result->reset(list);
    return true;
  }

  const char *m_host;
  int32_t m_port;
  int32_t m_timeoutMs;
  bool m_showWire;
};

int Failed(const Failure &failure) {
  std::fprintf(stderr, "kivrel-call: %s\n", failure.message.c_str());
  return failure.status;
}

int List_(Session &session) {
  List result;
  Failure failure;
  if (!session.Call("KIVREL_LIST_METHODS", nullptr, &result, &failure)) return Failed(failure);
  for (kivrel_data *v = kivrel_datalist_get_head(result.get()); v; v = kivrel_data_get_next(v))
    if (std::strcmp(TypeOf(v), "string") == 0)
      std::puts(kivrel_data_string_get_string(
          static_cast<kivrel_data_string *>(kivrel_data_get_data(v))));
  return kExitOk;
}

int Describe(Session &session, const char *method) {
  List args(kivrel_build_root_datalist("[{s}]", method));
  if (!args) return Failed({kExitUsage, "out of memory"});
  List signature, help;
  Failure failure;
  if (!session.Call("KIVREL_METHOD_SIGNATURE", args.get(), &signature, &failure)) {
    // A library service sends nothing at all for a name it does not know.
    if (failure.status == kExitNotAResponse)
      return Failed({kExitNotDescribed, std::string("the service does not describe ") + method +
                                            " (it gave no answer)"});
    return Failed(failure);
  }
  if (!signature || kivrel_datalist_get_size(signature.get()) < 2)
    return Failed({kExitNotDescribed, std::string("the service does not describe ") + method});
  if (!session.Call("KIVREL_METHOD_HELP", args.get(), &help, &failure)) return Failed(failure);
  kivrel_data *ret = kivrel_datalist_get_head(signature.get());
  std::printf("%s\n", method);
  std::printf("  arguments: %s\n", SignatureText(kivrel_data_get_next(ret)).c_str());
  std::printf("  result:    %s\n", SignatureText(ret).c_str());
  std::string text;
  if (help && kivrel_datalist_get_size(help.get()) == 1 &&
      std::strcmp(TypeOf(kivrel_datalist_get_head(help.get())), "string") == 0) {
    auto *s = static_cast<kivrel_data_string *>(
        kivrel_data_get_data(kivrel_datalist_get_head(help.get())));
    text = kivrel_data_string_get_string(s);
  }
  std::printf("  help:      %s\n", text.empty() ? "(none)" : text.c_str());
  return kExitOk;
}

// A usage error is one line with a hint, never the whole help.
int Usage(const std::string &message) {
  std::fprintf(stderr, "kivrel-call: %s (see kivrel-call --help)\n", message.c_str());
  return kExitUsage;
}

} // namespace

int main(int argc, char **argv) {
  int32_t timeout_ms = -1; // the library's default
  bool show_wire = false;
  int i = 1;
  // Options come before HOST: what follows may be negative numbers.
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--version") {
      std::printf("kivrel-call (kivrel) %s\n", KIVREL_PROJECT_VERSION);
      return kExitOk;
    }
    if (arg == "--show-wire") {
      show_wire = true;
    } else if (arg == "--timeout") {
      if (i + 1 >= argc) return Usage("--timeout needs milliseconds");
      int32_t ms = 0;
      if (!ParseInt(argv[i + 1], &ms) || ms < 0 || ms > kTimeoutMaxMs)
        return Usage(std::string("--timeout '") + argv[i + 1] +
                     "' is not a number of milliseconds from 0 to " +
                     std::to_string(kTimeoutMaxMs));
      timeout_ms = ms;
      ++i;
    } else if (arg == "--") {
      ++i;
      break;
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }
  if (argc - i < 3) return Usage("too few arguments: HOST PORT METHOD are needed");
  const char *host = argv[i];
  in_addr parsed{};
  if (inet_pton(AF_INET, host, &parsed) != 1) {
    std::fprintf(stderr, "kivrel-call: %s is not a dotted IPv4 address such as 127.0.0.1\n",
                 Quote(host).c_str());
    return kExitBadAddress;
  }
  int32_t port;
  if (!ParseInt(argv[i + 1], &port) || port < 1 || port > 65535)
    return Usage(std::string("'") + argv[i + 1] + "' is not a port number (1 to 65535)");
  Session session(host, port, timeout_ms, show_wire);
  const char *method = argv[i + 2];
  const int rest = argc - (i + 3); // arguments after METHOD

  if (std::strcmp(method, "--list") == 0) {
    if (rest != 0) return Usage("--list takes no further arguments");
    return List_(session);
  }
  if (std::strcmp(method, "--describe") == 0) {
    if (rest != 1) return Usage("--describe takes one method name");
    return Describe(session, argv[i + 3]);
  }
  if (method[0] == '-') return Usage(std::string("unknown option '") + method + "'");

  List args;
  if (rest >= 1 && std::strncmp(argv[i + 3], "--", 2) == 0)
    return Usage(std::string("options such as '") + argv[i + 3] + "' go before HOST");
  if (rest >= 1) {
    try {
      args = ArgumentBuilder(argv[i + 3], std::vector<const char *>(argv + i + 4, argv + argc))
                 .Build();
    } catch (const UsageError &e) {
      return Usage(e.message);
    }
    if (kivrel_datalist_get_size(args.get()) == 0) args.reset(); // "[]": call without arguments
  }
  List result;
  Failure failure;
  if (!session.Call(method, args.get(), &result, &failure)) return Failed(failure);
  if (!result) {
    std::puts("(no result)");
    return kExitOk;
  }
  Print(result.get(), 0);
  return kExitOk;
}
