// TEMPORARY while the units are written in parallel: weak stand-ins so the
// library links; every real definition overrides its stand-in.
#include "kivrel.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"
extern "C" {
__attribute__((weak)) void kivrel_mem_free(void *block) noexcept {}
__attribute__((weak)) kivrel_data_int * kivrel_data_int_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_int_free(kivrel_data_int *payload) noexcept {}
__attribute__((weak)) kivrel_data_int * kivrel_data_int_create(int32_t value) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_int_destroy(kivrel_data_int *payload) noexcept {}
__attribute__((weak)) int kivrel_data_int_set(kivrel_data_int *payload, int32_t value) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_data_int_get(const kivrel_data_int *payload) noexcept { return -1; }
__attribute__((weak)) kivrel_data_memblk_int8 * kivrel_data_memblk_int8_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_memblk_int8_free(kivrel_data_memblk_int8 *payload) noexcept {}
__attribute__((weak)) kivrel_data_memblk_int8 * kivrel_data_memblk_int8_create(uint32_t size) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_memblk_int8_destroy(kivrel_data_memblk_int8 *payload) noexcept {}
__attribute__((weak)) int kivrel_data_memblk_int8_set_size(kivrel_data_memblk_int8 *payload, uint32_t size) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_memblk_int8_set_memblk(kivrel_data_memblk_int8 *payload, int8_t *memblk) noexcept { return -1; }
__attribute__((weak)) uint32_t kivrel_data_memblk_int8_get_size(const kivrel_data_memblk_int8 *payload) noexcept { return -1; }
__attribute__((weak)) int8_t * kivrel_data_memblk_int8_get_memblk(const kivrel_data_memblk_int8 *payload) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_data_memblk_int8_memcpy(kivrel_data_memblk_int8 *payload, const void *src, uint32_t len) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_memblk_int8_memset(kivrel_data_memblk_int8 *payload, int byte, uint32_t len) noexcept { return -1; }
__attribute__((weak)) kivrel_data_string * kivrel_data_string_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_string_free(kivrel_data_string *payload) noexcept {}
__attribute__((weak)) kivrel_data_string * kivrel_data_string_create(const char *text) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_string_destroy(kivrel_data_string *payload) noexcept {}
__attribute__((weak)) char * kivrel_data_string_get_string(const kivrel_data_string *payload) noexcept { return nullptr; }
__attribute__((weak)) uint32_t kivrel_data_string_strlen(const kivrel_data_string *payload) noexcept { return -1; }
__attribute__((weak)) kivrel_datalist * kivrel_datalist_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_datalist_free(kivrel_datalist *list) noexcept {}
__attribute__((weak)) kivrel_datalist * kivrel_datalist_create(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_datalist_destroy(kivrel_datalist *list) noexcept {}
__attribute__((weak)) int kivrel_datalist_ins_next(kivrel_datalist *list, kivrel_data *element, kivrel_data *value) noexcept { return -1; }
__attribute__((weak)) int kivrel_datalist_rem_next(kivrel_datalist *list, kivrel_data *element, kivrel_data **removed) noexcept { return -1; }
__attribute__((weak)) int kivrel_datalist_set_size(kivrel_datalist *list, uint32_t size) noexcept { return -1; }
__attribute__((weak)) int kivrel_datalist_set_head(kivrel_datalist *list, kivrel_data *head) noexcept { return -1; }
__attribute__((weak)) int kivrel_datalist_set_tail(kivrel_datalist *list, kivrel_data *tail) noexcept { return -1; }
__attribute__((weak)) uint32_t kivrel_datalist_get_size(const kivrel_datalist *list) noexcept { return -1; }
__attribute__((weak)) kivrel_data * kivrel_datalist_get_head(const kivrel_datalist *list) noexcept { return nullptr; }
__attribute__((weak)) kivrel_data * kivrel_datalist_get_tail(const kivrel_datalist *list) noexcept { return nullptr; }
__attribute__((weak)) kivrel_data * kivrel_data_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_free(kivrel_data *value) noexcept {}
__attribute__((weak)) kivrel_data * kivrel_data_create(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_data_destroy(kivrel_data *value) noexcept {}
__attribute__((weak)) int kivrel_data_set_datatype(kivrel_data *value, const char *datatype) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_set_size(kivrel_data *value, int32_t size) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_set_data(kivrel_data *value, void *data) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_set_next(kivrel_data *value, kivrel_data *next) noexcept { return -1; }
__attribute__((weak)) char * kivrel_data_get_datatype(const kivrel_data *value) noexcept { return nullptr; }
__attribute__((weak)) int32_t kivrel_data_get_size(const kivrel_data *value) noexcept { return -1; }
__attribute__((weak)) void * kivrel_data_get_data(const kivrel_data *value) noexcept { return nullptr; }
__attribute__((weak)) kivrel_data * kivrel_data_get_next(const kivrel_data *value) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_data_int_link(kivrel_data *value, kivrel_data_int *payload) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_string_link(kivrel_data *value, kivrel_data_string *payload) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_memblk_int8_link(kivrel_data *value, kivrel_data_memblk_int8 *payload) noexcept { return -1; }
__attribute__((weak)) int kivrel_data_datalist_link(kivrel_data *value, kivrel_datalist *payload) noexcept { return -1; }
__attribute__((weak)) kivrel_datalist * kivrel_build_root_datalist(const char *sign, ...) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_decompose_root_datalist(const kivrel_datalist *list, const char *sign, ...) noexcept { return -1; }
__attribute__((weak)) kivrel_datalist * kivrel_build_datalist(const char **pos, va_list *args) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_build_data(const char **pos, va_list *args, kivrel_datalist *list) noexcept { return -1; }
__attribute__((weak)) int kivrel_build_data_int(const char **pos, va_list *args, kivrel_data *value) noexcept { return -1; }
__attribute__((weak)) int kivrel_build_data_string(const char **pos, va_list *args, kivrel_data *value) noexcept { return -1; }
__attribute__((weak)) int kivrel_build_data_datalist(const char **pos, va_list *args, kivrel_data *value) noexcept { return -1; }
__attribute__((weak)) int kivrel_decompose_datalist(const kivrel_datalist *list, const char **pos, va_list *args) noexcept { return -1; }
__attribute__((weak)) int kivrel_decompose_data(const kivrel_data *value, const char **pos, va_list *args) noexcept { return -1; }
__attribute__((weak)) int kivrel_decompose_data_int(const kivrel_data *value, const char **pos, va_list *args) noexcept { return -1; }
__attribute__((weak)) int kivrel_decompose_data_string(const kivrel_data *value, const char **pos, va_list *args) noexcept { return -1; }
__attribute__((weak)) int kivrel_decompose_data_datalist(const kivrel_data *value, const char **pos, va_list *args) noexcept { return -1; }
__attribute__((weak)) char * kivrel_base64_encode(const unsigned char *src, int32_t len, int32_t *out_len) noexcept { return nullptr; }
__attribute__((weak)) unsigned char * kivrel_base64_decode(const char *src, int32_t len, int32_t *out_len) noexcept { return nullptr; }
__attribute__((weak)) xmlNodePtr kivrel_xmlnode_dump_data_int(const kivrel_data_int *payload) noexcept { return nullptr; }
__attribute__((weak)) xmlNodePtr kivrel_xmlnode_dump_data_string(const kivrel_data_string *payload) noexcept { return nullptr; }
__attribute__((weak)) xmlNodePtr kivrel_xmlnode_dump_data(const kivrel_data *value) noexcept { return nullptr; }
__attribute__((weak)) xmlNodePtr kivrel_xmlnode_dump_datalist(const kivrel_datalist *list) noexcept { return nullptr; }
__attribute__((weak)) kivrel_data_int * kivrel_xmlnode_load_data_int(const xmlNode *node) noexcept { return nullptr; }
__attribute__((weak)) kivrel_data_string * kivrel_xmlnode_load_data_string(const xmlNode *node) noexcept { return nullptr; }
__attribute__((weak)) kivrel_data * kivrel_xmlnode_load_data(const xmlNode *node) noexcept { return nullptr; }
__attribute__((weak)) kivrel_datalist * kivrel_xmlnode_load_datalist(const xmlNode *node) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_xml_serialize_method_call(const char *name, const kivrel_datalist *args, char **doc, int *len) noexcept { return -1; }
__attribute__((weak)) int kivrel_xml_serialize_method_response(const kivrel_datalist *ret, char **doc, int *len) noexcept { return -1; }
__attribute__((weak)) void kivrel_xml_free(char *doc) noexcept {}
__attribute__((weak)) int kivrel_xml_deserialize_method_call(char **name, kivrel_datalist **args, const char *doc) noexcept { return -1; }
__attribute__((weak)) int kivrel_xml_deserialize_method_response(kivrel_datalist **ret, const char *doc) noexcept { return -1; }
__attribute__((weak)) void kivrel_xml_init_parser(void) noexcept {}
__attribute__((weak)) void kivrel_xml_cleanup_parser(void) noexcept {}
__attribute__((weak)) int kivrel_initialize(void) noexcept { return -1; }
__attribute__((weak)) int kivrel_finalize(void) noexcept { return -1; }
__attribute__((weak)) kivrel_header * kivrel_header_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_header_free(kivrel_header *header) noexcept {}
__attribute__((weak)) kivrel_header * kivrel_header_create(const char *name_ver, int32_t bodylen) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_header_destroy(kivrel_header *header) noexcept {}
__attribute__((weak)) int kivrel_header_set_name_ver(kivrel_header *header, const char *name_ver) noexcept { return -1; }
__attribute__((weak)) int kivrel_header_set_bodylen(kivrel_header *header, int32_t bodylen) noexcept { return -1; }
__attribute__((weak)) char * kivrel_header_get_name_ver(const kivrel_header *header) noexcept { return nullptr; }
__attribute__((weak)) int32_t kivrel_header_get_bodylen(const kivrel_header *header) noexcept { return -1; }
__attribute__((weak)) int kivrel_header_serialize(const kivrel_header *header, char **line, int32_t *len) noexcept { return -1; }
__attribute__((weak)) int kivrel_header_deserialize(kivrel_header **header, const char *line) noexcept { return -1; }
__attribute__((weak)) int kivrel_tcp_send(int fd, const char *doc) noexcept { return -1; }
__attribute__((weak)) int kivrel_tcp_recv(int fd, char **body) noexcept { return -1; }
__attribute__((weak)) kivrel_tcp_client * kivrel_tcp_client_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_tcp_client_free(kivrel_tcp_client *client) noexcept {}
__attribute__((weak)) kivrel_tcp_client * kivrel_tcp_client_create(const char *ip_addr, int32_t port) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_tcp_client_connect(kivrel_tcp_client *client) noexcept { return -1; }
__attribute__((weak)) void kivrel_tcp_client_destroy(kivrel_tcp_client *client) noexcept {}
__attribute__((weak)) int kivrel_tcp_client_set_server_ip_addr(kivrel_tcp_client *client, const char *ip_addr) noexcept { return -1; }
__attribute__((weak)) int kivrel_tcp_client_set_server_port(kivrel_tcp_client *client, int32_t port) noexcept { return -1; }
__attribute__((weak)) int kivrel_tcp_client_set_socket_fd(kivrel_tcp_client *client, int32_t fd) noexcept { return -1; }
__attribute__((weak)) char * kivrel_tcp_client_get_server_ip_addr(const kivrel_tcp_client *client) noexcept { return nullptr; }
__attribute__((weak)) int32_t kivrel_tcp_client_get_server_port(const kivrel_tcp_client *client) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_tcp_client_get_socket_fd(const kivrel_tcp_client *client) noexcept { return -1; }
__attribute__((weak)) kivrel_tcp_server * kivrel_tcp_server_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_tcp_server_free(kivrel_tcp_server *server) noexcept {}
__attribute__((weak)) kivrel_tcp_server * kivrel_tcp_server_create(int32_t port) noexcept { return nullptr; }
__attribute__((weak)) kivrel_tcp_server * kivrel_tcp_server_accept(kivrel_tcp_server *server) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_tcp_server_destroy(kivrel_tcp_server *server) noexcept {}
__attribute__((weak)) int kivrel_tcp_server_set_port(kivrel_tcp_server *server, int32_t port) noexcept { return -1; }
__attribute__((weak)) int kivrel_tcp_server_set_socket_fd(kivrel_tcp_server *server, int32_t fd) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_tcp_server_get_port(const kivrel_tcp_server *server) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_tcp_server_get_socket_fd(const kivrel_tcp_server *server) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_utility_readn(int fd, void *buf, int32_t n) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_utility_writen(int fd, const void *buf, int32_t n) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_utility_readline(int fd, char *buf, int32_t max) noexcept { return -1; }
__attribute__((weak)) int kivrel_winsock2_wsastartup(void) noexcept { return -1; }
__attribute__((weak)) int kivrel_winsock2_wsacleanup(void) noexcept { return -1; }
__attribute__((weak)) kivrel_datalist * kivrel_request_method_call(kivrel_tcp_client *client, const char *name, const kivrel_datalist *args) noexcept { return nullptr; }
__attribute__((weak)) kivrel_method * kivrel_method_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_method_free(kivrel_method *method) noexcept {}
__attribute__((weak)) kivrel_method * kivrel_method_create(const char *name, kivrel_method_func func, const char *sign_datalist_arg, const char *sign_datalist_ret, const char *help) noexcept { return nullptr; }
__attribute__((weak)) kivrel_method * kivrel_method_ex_create(const char *name, kivrel_method_exfunc exfunc, const char *sign_datalist_arg, const char *sign_datalist_ret, const char *help) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_method_set_name(kivrel_method *method, const char *name) noexcept { return -1; }
__attribute__((weak)) int kivrel_method_set_func(kivrel_method *method, kivrel_method_func func) noexcept { return -1; }
__attribute__((weak)) int kivrel_method_set_exfunc(kivrel_method *method, kivrel_method_exfunc exfunc) noexcept { return -1; }
__attribute__((weak)) int kivrel_method_set_sign_datalist_arg(kivrel_method *method, const char *sign) noexcept { return -1; }
__attribute__((weak)) int kivrel_method_set_sign_datalist_ret(kivrel_method *method, const char *sign) noexcept { return -1; }
__attribute__((weak)) int kivrel_method_set_help(kivrel_method *method, const char *help) noexcept { return -1; }
__attribute__((weak)) char * kivrel_method_get_name(const kivrel_method *method) noexcept { return nullptr; }
__attribute__((weak)) char * kivrel_method_get_sign_datalist_arg(const kivrel_method *method) noexcept { return nullptr; }
__attribute__((weak)) char * kivrel_method_get_sign_datalist_ret(const kivrel_method *method) noexcept { return nullptr; }
__attribute__((weak)) char * kivrel_method_get_help(const kivrel_method *method) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_method_execute(const kivrel_method *method, const kivrel_datalist *args, kivrel_datalist **ret) noexcept { return -1; }
__attribute__((weak)) int kivrel_method_ex_execute(const kivrel_method *method, const kivrel_datalist *args, kivrel_datalist **ret, const kivrel_registry *registry) noexcept { return -1; }
__attribute__((weak)) kivrel_registry_elmt * kivrel_registry_elmt_new(void) noexcept { return nullptr; }
__attribute__((weak)) kivrel_registry_elmt * kivrel_registry_elmt_create(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_registry_elmt_free(kivrel_registry_elmt *element) noexcept {}
__attribute__((weak)) int kivrel_registry_elmt_set_method(kivrel_registry_elmt *element, kivrel_method *method) noexcept { return -1; }
__attribute__((weak)) int kivrel_registry_elmt_set_next(kivrel_registry_elmt *element, kivrel_registry_elmt *next) noexcept { return -1; }
__attribute__((weak)) kivrel_method * kivrel_registry_elmt_get_method(const kivrel_registry_elmt *element) noexcept { return nullptr; }
__attribute__((weak)) kivrel_registry_elmt * kivrel_registry_elmt_get_next(const kivrel_registry_elmt *element) noexcept { return nullptr; }
__attribute__((weak)) kivrel_registry * kivrel_registry_new(void) noexcept { return nullptr; }
__attribute__((weak)) kivrel_registry * kivrel_registry_create(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_registry_free(kivrel_registry *registry) noexcept {}
__attribute__((weak)) int kivrel_registry_set_size(kivrel_registry *registry, int32_t size) noexcept { return -1; }
__attribute__((weak)) int kivrel_registry_set_head(kivrel_registry *registry, kivrel_registry_elmt *head) noexcept { return -1; }
__attribute__((weak)) int kivrel_registry_set_tail(kivrel_registry *registry, kivrel_registry_elmt *tail) noexcept { return -1; }
__attribute__((weak)) int32_t kivrel_registry_get_size(const kivrel_registry *registry) noexcept { return -1; }
__attribute__((weak)) kivrel_registry_elmt * kivrel_registry_get_head(const kivrel_registry *registry) noexcept { return nullptr; }
__attribute__((weak)) kivrel_registry_elmt * kivrel_registry_get_tail(const kivrel_registry *registry) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_registry_ins_next(kivrel_registry *registry, kivrel_registry_elmt *after, kivrel_registry_elmt *element) noexcept { return -1; }
__attribute__((weak)) int kivrel_registry_add_method(kivrel_registry *registry, kivrel_method *method) noexcept { return -1; }
__attribute__((weak)) kivrel_method * kivrel_registry_get_method(const kivrel_registry *registry, const char *name) noexcept { return nullptr; }
__attribute__((weak)) struct kivrel_service * kivrel_service_new(void) noexcept { return nullptr; }
__attribute__((weak)) void kivrel_service_free(struct kivrel_service *service) noexcept {}
__attribute__((weak)) struct kivrel_service * kivrel_service_create(kivrel_registry *registry) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_service_set_registry(struct kivrel_service *service, kivrel_registry *registry) noexcept { return -1; }
__attribute__((weak)) kivrel_registry * kivrel_service_get_registry(const struct kivrel_service *service) noexcept { return nullptr; }
__attribute__((weak)) int kivrel_service(kivrel_tcp_server *connection, struct kivrel_service *service) noexcept { return -1; }
__attribute__((weak)) int kivrel_introspection_register(kivrel_registry *registry) noexcept { return -1; }
}
