// The client half of a remote call: one call document out, one response
// document back, on a connected client endpoint.
#include "internal.h"

extern "C" {

kivrel_datalist *kivrel_request_method_call(kivrel_tcp_client *client, const char *name,
                                            const kivrel_datalist *args) noexcept {
  if (client == nullptr || name == nullptr) return nullptr;

  char *doc_text = nullptr;
  int doc_len = 0; // the sender measures the text itself
  if (kivrel_xml_serialize_method_call(name, args, &doc_text, &doc_len) != 0) return nullptr;
  kivrel::XmlText doc(doc_text);

  if (kivrel_tcp_send(client->socket_fd, doc.get()) != 0) return nullptr;

  char *body_text = nullptr;
  if (kivrel_tcp_recv(client->socket_fd, &body_text) != 0) return nullptr;
  kivrel::CText body(body_text);

  // Null both for a failed read and for a response without results.
  kivrel_datalist *ret = nullptr;
  if (kivrel_xml_deserialize_method_response(&ret, body.get()) != 0) return nullptr;
  return ret;
}

} // extern "C"
