// kivrel-call: call any method of a service built on libkivrel from a shell.
//
//   kivrel-call HOST PORT METHOD [SIGNATURE [ARG...]]
//   kivrel-call HOST PORT --list
//   kivrel-call HOST PORT --describe METHOD
//
// Exit status: 0 success, 1 the call failed or gave no result, 2 usage.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivrel.hpp"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Nesting the tool accepts on the command line; the library refuses deeper.
constexpr int kMaxDepth = KIVREL_MAX_DEPTH;

const char kUsage[] =
    "usage: kivrel-call HOST PORT METHOD [SIGNATURE [ARG...]]\n"
    "       kivrel-call HOST PORT --list\n"
    "       kivrel-call HOST PORT --describe METHOD\n"
    "       kivrel-call --help\n"
    "\n"
    "Calls METHOD on the service at HOST (dotted IPv4) and PORT and prints the\n"
    "result list, one value per line with its type, nested lists indented.\n"
    "SIGNATURE describes the arguments: a list is [ values ], a value is { item },\n"
    "an item is i (integer), s (text) or a nested list; ARGs follow in order.\n"
    "  kivrel-call 127.0.0.1 50017 PowerUp '[{i}]' 1\n"
    "  kivrel-call 127.0.0.1 50010 ReadPosition\n"
    "--list prints the service's methods, --describe METHOD its signatures and\n"
    "help. Exit status: 0 success, 1 failed call or no result, 2 usage error.\n";

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
      out += "{" + SignatureText(v) + "}";
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

class Session {
public:
  Session(const char *host, int32_t port) : m_host(host), m_port(port) {}

  // One call on a fresh connection; false (with a message) when the
  // connection could not be made.
  bool Call(const char *method, const kivrel_datalist *args, List *result) {
    Client client(kivrel_tcp_client_create(m_host, m_port));
    if (!client || kivrel_tcp_client_connect(client.get()) != 0) {
      std::fprintf(stderr, "kivrel-call: cannot connect to %s port %d\n", m_host, m_port);
      return false;
    }
    result->reset(kivrel_request_method_call(client.get(), method, args));
    return true;
  }

private:
  const char *m_host;
  int32_t m_port;
};

int NoResult(const char *method) {
  std::fprintf(stderr, "kivrel-call: %s failed or gave no result\n", method);
  std::puts("no result");
  return kExitFailed;
}

int List_(Session &session) {
  List result;
  if (!session.Call("KIVREL_LIST_METHODS", nullptr, &result)) return kExitFailed;
  if (!result) return NoResult("KIVREL_LIST_METHODS");
  for (kivrel_data *v = kivrel_datalist_get_head(result.get()); v; v = kivrel_data_get_next(v))
    if (std::strcmp(TypeOf(v), "string") == 0)
      std::puts(kivrel_data_string_get_string(
          static_cast<kivrel_data_string *>(kivrel_data_get_data(v))));
  return kExitOk;
}

int Describe(Session &session, const char *method) {
  List args(kivrel_build_root_datalist("[{s}]", method));
  if (!args) return kExitFailed;
  List signature, help;
  if (!session.Call("KIVREL_METHOD_SIGNATURE", args.get(), &signature)) return kExitFailed;
  if (!signature || kivrel_datalist_get_size(signature.get()) < 2) {
    std::fprintf(stderr, "kivrel-call: the service does not describe %s\n", method);
    return kExitFailed;
  }
  if (!session.Call("KIVREL_METHOD_HELP", args.get(), &help)) return kExitFailed;
  kivrel_data *ret = kivrel_datalist_get_head(signature.get());
  std::printf("%s\n", method);
  std::printf("  arguments: %s\n", SignatureText(kivrel_data_get_next(ret)).c_str());
  std::printf("  result:    %s\n", SignatureText(ret).c_str());
  char text[4096] = "";
  if (help && kivrel_datalist_get_size(help.get()) == 1 &&
      std::strcmp(TypeOf(kivrel_datalist_get_head(help.get())), "string") == 0) {
    auto *s = static_cast<kivrel_data_string *>(
        kivrel_data_get_data(kivrel_datalist_get_head(help.get())));
    std::snprintf(text, sizeof text, "%s", kivrel_data_string_get_string(s));
  }
  std::printf("  help:      %s\n", text[0] ? text : "(none)");
  return kExitOk;
}

int Usage(const std::string &message) {
  std::fprintf(stderr, "kivrel-call: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

} // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (argc < 4) return Usage("too few arguments");
  int32_t port;
  if (!ParseInt(argv[2], &port) || port < 1 || port > 65535)
    return Usage(std::string("'") + argv[2] + "' is not a port number (1 to 65535)");
  Session session(argv[1], port);
  const char *method = argv[3];

  if (std::strcmp(method, "--list") == 0) {
    if (argc != 4) return Usage("--list takes no further arguments");
    return List_(session);
  }
  if (std::strcmp(method, "--describe") == 0) {
    if (argc != 5) return Usage("--describe takes one method name");
    return Describe(session, argv[4]);
  }
  if (method[0] == '-') return Usage(std::string("unknown option '") + method + "'");

  List args;
  if (argc >= 5) {
    try {
      args = ArgumentBuilder(argv[4], std::vector<const char *>(argv + 5, argv + argc)).Build();
    } catch (const UsageError &e) {
      return Usage(e.message);
    }
    if (kivrel_datalist_get_size(args.get()) == 0) args.reset(); // "[]": call without arguments
  }
  List result;
  if (!session.Call(method, args.get(), &result)) return kExitFailed;
  if (!result) return NoResult(method);
  Print(result.get(), 0);
  return kExitOk;
}
