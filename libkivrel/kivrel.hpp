/*
 * kivrel.hpp - owning pointers for C++ users of libkivrel: one
 * std::unique_ptr alias per record the library hands out, each releasing
 * through the library's own function. Header-only; nothing else is here.
 *
 *   kivrel::List args(kivrel_build_root_datalist("[{i}{i}]", 2, 3));
 *   kivrel::Client client(kivrel_tcp_client_create("127.0.0.1", 50010));
 *
 * Registry releases its elements and every method it holds
 * (kivrel_registry_destroy(r, 1)); use RegistryOnly when the methods are
 * owned elsewhere.
 *
 * The host's owning pointer, kivrel::Host, lives in kivrel_host.h: the
 * library's headers never reach up to the host.
 */
#ifndef KIVREL_HPP
#define KIVREL_HPP

#include <memory>

#include "kivrel.h"

namespace kivrel {

namespace detail {
template <class T, void (*Release)(T *) noexcept> struct Deleter {
  void operator()(T *p) const noexcept { Release(p); }
};
inline void release_registry_with_methods(kivrel_registry *r) noexcept {
  kivrel_registry_destroy(r, 1);
}
inline void release_registry_only(kivrel_registry *r) noexcept { kivrel_registry_destroy(r, 0); }
inline void release_text(char *t) noexcept { kivrel_mem_free(t); }
} // namespace detail

using List =
    std::unique_ptr<kivrel_datalist, detail::Deleter<kivrel_datalist, kivrel_datalist_destroy>>;
using Value = std::unique_ptr<kivrel_data, detail::Deleter<kivrel_data, kivrel_data_destroy>>;
using Client = std::unique_ptr<kivrel_tcp_client,
                               detail::Deleter<kivrel_tcp_client, kivrel_tcp_client_destroy>>;
using Server = std::unique_ptr<kivrel_tcp_server,
                               detail::Deleter<kivrel_tcp_server, kivrel_tcp_server_destroy>>;
using Method =
    std::unique_ptr<kivrel_method, detail::Deleter<kivrel_method, kivrel_method_destroy>>;
using Registry =
    std::unique_ptr<kivrel_registry,
                    detail::Deleter<kivrel_registry, detail::release_registry_with_methods>>;
using RegistryOnly =
    std::unique_ptr<kivrel_registry,
                    detail::Deleter<kivrel_registry, detail::release_registry_only>>;
using Service = std::unique_ptr<struct kivrel_service,
                                detail::Deleter<struct kivrel_service, kivrel_service_destroy>>;
using Header =
    std::unique_ptr<kivrel_header, detail::Deleter<kivrel_header, kivrel_header_destroy>>;
/* A document made by kivrel_xml_serialize_method_call()/_response(). */
using XmlText = std::unique_ptr<char, detail::Deleter<char, kivrel_xml_free>>;
/* Any other text or buffer the library hands out (names, bodies, Base64). */
using Text = std::unique_ptr<char, detail::Deleter<char, detail::release_text>>;
/* A message reader (kivrel_reader_create()). */
using Reader =
    std::unique_ptr<kivrel_reader, detail::Deleter<kivrel_reader, kivrel_reader_destroy>>;

} // namespace kivrel

#endif /* KIVREL_HPP */
