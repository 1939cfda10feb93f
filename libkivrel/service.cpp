// The server half of a call: receive one framed call document on an
// accepted connection, run the named method, send back one response.
#include <cstdlib>
#include <cstring>

#include "internal.h"

using kivrel::alloc_record;
using kivrel::CText;
using kivrel::Datalist;
using kivrel::XmlText;

namespace {

// Calls of these names run the method's extended function with the
// service's registry; every other name runs the plain function.
constexpr const char *kReservedNames[] = {"KIVREL_LIST_METHODS", "KIVREL_METHOD_SIGNATURE",
                                          "KIVREL_METHOD_HELP"};

bool is_reserved(const char *name) noexcept {
  for (const char *reserved : kReservedNames)
    if (std::strcmp(name, reserved) == 0) return true;
  return false;
}

// Runs the method named in the call, if there is one with the function its
// name calls for; otherwise nothing runs and the result stays empty. A
// method's status is not passed on: only its result list reaches the
// client, under a reserved name too. False when the call must be refused
// without an answer: the method threw, or one of the library's own
// introspection methods ran out of memory while making its answer (it says
// so by returning kMethodFailed with no result), as "no result" would be a
// wrong answer.
bool dispatch(const kivrel_registry *registry, const char *name, const kivrel_datalist *args,
              kivrel_datalist **ret) noexcept {
  if (registry == nullptr) return true;
  const kivrel_method *method = kivrel_registry_get_method(registry, name);
  if (method == nullptr) return true;
  try {
    if (is_reserved(name)) {
      if (method->exfunc == nullptr) return true;
      const int status = method->exfunc(args, ret, registry);
      return status != kivrel::kMethodFailed || *ret != nullptr ||
             !kivrel::is_library_introspection(method->exfunc);
    }
    if (method->func != nullptr)
      method->func(args, ret);
    else if (method->datafunc != nullptr)
      method->datafunc(args, ret, method->data);
    return true;
  } catch (...) {
    return false;
  }
}

// The response document to one call body, as kivrel_service_answer()
// describes it; false when the call gets no answer.
bool answer_document(const struct kivrel_service *service, const char *body,
                     XmlText *doc) noexcept {
  char *raw_name = nullptr;
  kivrel_datalist *raw_args = nullptr;
  if (kivrel_xml_deserialize_method_call(&raw_name, &raw_args, body) != 0) return false;
  CText name(raw_name);
  Datalist args(raw_args);

  kivrel_datalist *raw_ret = nullptr;
  const bool answered = dispatch(service->registry, name.get(), args.get(), &raw_ret);
  Datalist ret(raw_ret);
  if (!answered) return false;
  // What the call held is not needed for the answer: give it back first.
  args.reset();
  name.reset();

  // An empty list or one holding a value that XML cannot carry cannot be
  // written; then nothing at all goes back.
  char *raw_doc = nullptr;
  int doc_len = 0;
  if (kivrel_xml_serialize_method_response(ret.get(), &raw_doc, &doc_len) != 0) return false;
  doc->reset(raw_doc);
  return true;
}

} // namespace

extern "C" {

struct kivrel_service *kivrel_service_new(void) noexcept {
  return alloc_record<struct kivrel_service>();
}
void kivrel_service_free(struct kivrel_service *service) noexcept { std::free(service); }
void kivrel_service_destroy(struct kivrel_service *service) noexcept { std::free(service); }
struct kivrel_service *kivrel_service_create(kivrel_registry *registry) noexcept {
  struct kivrel_service *service = kivrel_service_new();
  if (service != nullptr) kivrel_service_set_registry(service, registry);
  return service;
}
int kivrel_service_set_registry(struct kivrel_service *service,
                                kivrel_registry *registry) noexcept {
  service->registry = registry;
  return 0;
}
kivrel_registry *kivrel_service_get_registry(const struct kivrel_service *service) noexcept {
  return service->registry;
}

int kivrel_service_answer(struct kivrel_service *service, const char *body, char **message,
                          int32_t *len) noexcept {
  if (message == nullptr) return -1;
  *message = nullptr;
  if (len != nullptr) *len = 0;
  if (service == nullptr || body == nullptr) return -1;
  XmlText doc;
  if (!answer_document(service, body, &doc)) return -1;
  int32_t message_len = 0;
  char *framed = kivrel::frame_message(doc.get(), std::strlen(doc.get()), &message_len);
  if (framed == nullptr) return -1;
  *message = framed;
  if (len != nullptr) *len = message_len;
  return 0;
}

int kivrel_service(kivrel_tcp_server *connection, struct kivrel_service *service) noexcept {
  if (connection == nullptr || service == nullptr) return -1;
  const int fd = connection->socket_fd;

  char *raw_body = nullptr;
  if (kivrel_tcp_recv(fd, &raw_body) != 0) return -1;
  CText body(raw_body);

  // kivrel_service_answer() without framing a copy: the line and the
  // document leave together from where they are.
  XmlText doc;
  const bool answered = answer_document(service, body.get(), &doc);
  body.reset();
  if (!answered) return -1;
  return kivrel_tcp_send(fd, doc.get()) == 0 ? 0 : -1;
}

} // extern "C"
