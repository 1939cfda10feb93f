// The client half of a remote call: one call document out, one response
// document back, on a connected client endpoint.
#include <cerrno>

#include "internal.h"

extern "C" {

int kivrel_request_method_call_status(kivrel_tcp_client *client, const char *method,
                                      const kivrel_datalist *args,
                                      kivrel_datalist **result) noexcept {
  if (result == nullptr) return -1;
  *result = nullptr;
  if (client == nullptr || method == nullptr) return -1;

  char *doc_text = nullptr;
  int doc_len = 0; // the sender measures the text itself
  if (kivrel_xml_serialize_method_call(method, args, &doc_text, &doc_len) != 0) return -1;
  kivrel::XmlText doc(doc_text);

  // Bytes already waiting (an answer nobody asked for, or the peer's
  // close) would be taken for the answer to this call: refuse instead.
  if (client->socket_fd < 0 || !kivrel::connection_quiet(client->socket_fd)) return -1;
  if (kivrel_tcp_send(client->socket_fd, doc.get()) != 0) return -1;

  char *body_text = nullptr;
  if (!kivrel::receive_response(client->socket_fd, &body_text)) return -1;
  kivrel::CText body(body_text);

  if (kivrel_xml_deserialize_method_response(result, body.get()) == 0) return 0;
  errno = EPROTO; // an answer, but not a response document
  return -1;
}

// Null both for a failed call and for a response without results.
kivrel_datalist *kivrel_request_method_call(kivrel_tcp_client *client, const char *name,
                                            const kivrel_datalist *args) noexcept {
  kivrel_datalist *ret = nullptr;
  if (kivrel_request_method_call_status(client, name, args, &ret) != 0) return nullptr;
  return ret;
}

} // extern "C"
