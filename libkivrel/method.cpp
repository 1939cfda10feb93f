// Method objects: a name, one of two function shapes, two signature texts
// and a help text. The texts are private copies; the functions are not owned.
#include <cstdlib>

#include "internal.h"

using kivrel::alloc_record;
using kivrel::dup_text;

namespace {

// Copy first, release second: a field set to the text its own getter handed
// out must survive the release of the old copy, and a copy that cannot be
// made leaves the old text in place (-1).
int replace_text(char *&field, const char *text) noexcept {
  char *copy = dup_text(text);
  if (text != nullptr && copy == nullptr) return -1;
  std::free(field);
  field = copy;
  return 0;
}

// Shared by the two constructors; `wire` stores the function. Null when the
// record or any requested copy cannot be had: a half-made method is no use
// to a registry.
template <class Wire>
kivrel_method *make_method(const char *name, const char *sign_arg, const char *sign_ret,
                           const char *help, Wire wire) noexcept {
  kivrel_method *method = kivrel_method_new();
  if (method == nullptr) return nullptr;
  wire(method);
  bool complete = kivrel_method_set_name(method, name) == 0 &&
                  kivrel_method_set_sign_datalist_arg(method, sign_arg) == 0 &&
                  kivrel_method_set_sign_datalist_ret(method, sign_ret) == 0 &&
                  kivrel_method_set_help(method, help) == 0;
  if (!complete) {
    std::free(method->name);
    std::free(method->sign_datalist_arg);
    std::free(method->sign_datalist_ret);
    std::free(method->help);
    kivrel_method_free(method);
    return nullptr;
  }
  return method;
}

} // namespace

extern "C" {

kivrel_method *kivrel_method_new(void) noexcept { return alloc_record<kivrel_method>(); }
void kivrel_method_free(kivrel_method *method) noexcept { std::free(method); }

kivrel_method *kivrel_method_create(const char *name, kivrel_method_func func,
                                    const char *sign_datalist_arg, const char *sign_datalist_ret,
                                    const char *help) noexcept {
  return make_method(name, sign_datalist_arg, sign_datalist_ret, help,
                     [func](kivrel_method *m) noexcept { kivrel_method_set_func(m, func); });
}

kivrel_method *kivrel_method_create_data(const char *name, kivrel_method_datafunc datafunc,
                                         void *data, const char *sign_datalist_arg,
                                         const char *sign_datalist_ret, const char *help) noexcept {
  return make_method(name, sign_datalist_arg, sign_datalist_ret, help,
                     [datafunc, data](kivrel_method *m) noexcept {
                       m->datafunc = datafunc;
                       m->data = data;
                     });
}

void kivrel_method_destroy(kivrel_method *method) noexcept {
  if (method == nullptr) return;
  std::free(method->name);
  std::free(method->sign_datalist_arg);
  std::free(method->sign_datalist_ret);
  std::free(method->help);
  kivrel_method_free(method);
}

int kivrel_method_set_data(kivrel_method *method, void *data) noexcept {
  method->data = data;
  return 0;
}
void *kivrel_method_get_data(const kivrel_method *method) noexcept { return method->data; }
int kivrel_method_set_datafunc(kivrel_method *method, kivrel_method_datafunc datafunc) noexcept {
  method->datafunc = datafunc;
  return 0;
}

kivrel_method *kivrel_method_ex_create(const char *name, kivrel_method_exfunc exfunc,
                                       const char *sign_datalist_arg, const char *sign_datalist_ret,
                                       const char *help) noexcept {
  return make_method(name, sign_datalist_arg, sign_datalist_ret, help,
                     [exfunc](kivrel_method *m) noexcept { kivrel_method_set_exfunc(m, exfunc); });
}

int kivrel_method_set_name(kivrel_method *method, const char *name) noexcept {
  return replace_text(method->name, name);
}
int kivrel_method_set_func(kivrel_method *method, kivrel_method_func func) noexcept {
  method->func = func;
  return 0;
}
int kivrel_method_set_exfunc(kivrel_method *method, kivrel_method_exfunc exfunc) noexcept {
  method->exfunc = exfunc;
  return 0;
}
int kivrel_method_set_sign_datalist_arg(kivrel_method *method, const char *sign) noexcept {
  return replace_text(method->sign_datalist_arg, sign);
}
int kivrel_method_set_sign_datalist_ret(kivrel_method *method, const char *sign) noexcept {
  return replace_text(method->sign_datalist_ret, sign);
}
int kivrel_method_set_help(kivrel_method *method, const char *help) noexcept {
  return replace_text(method->help, help);
}

char *kivrel_method_get_name(const kivrel_method *method) noexcept { return method->name; }
char *kivrel_method_get_sign_datalist_arg(const kivrel_method *method) noexcept {
  return method->sign_datalist_arg;
}
char *kivrel_method_get_sign_datalist_ret(const kivrel_method *method) noexcept {
  return method->sign_datalist_ret;
}
char *kivrel_method_get_help(const kivrel_method *method) noexcept { return method->help; }

// A missing function is refused rather than called; the service checks
// before it gets here, other callers may not. A C++ function that throws
// must not take the process down through these noexcept C entries.
int kivrel_method_execute(const kivrel_method *method, const kivrel_datalist *args,
                          kivrel_datalist **ret) noexcept {
  try {
    if (method->func != nullptr) return method->func(args, ret);
    if (method->datafunc != nullptr) return method->datafunc(args, ret, method->data);
    return -1;
  } catch (...) {
    return -1;
  }
}
int kivrel_method_ex_execute(const kivrel_method *method, const kivrel_datalist *args,
                             kivrel_datalist **ret, const kivrel_registry *registry) noexcept {
  if (method->exfunc == nullptr) return -1;
  try {
    return method->exfunc(args, ret, registry);
  } catch (...) {
    return -1;
  }
}

} // extern "C"
