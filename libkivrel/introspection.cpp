// The three methods by which a service describes itself: its method names,
// a method's signatures, a method's help text. They answer from the registry
// they are handed at call time and keep no state.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "internal.h"

using kivrel::Data;
using kivrel::Datalist;

namespace {

constexpr char kTypeInt[] = "int";
constexpr char kTypeString[] = "string";

// What the three functions return. After a refusal of the arguments the
// client sees no result; after a failure (memory ran out while making the
// answer) nothing is stored and the service sends nothing at all.
constexpr int kAnswered = 0;
constexpr int kRefused = 1;
constexpr int kFailed = kivrel::kMethodFailed;

// How making a description ended.
enum class Described { kDone, kMalformed, kNoMemory };

// Appends a "string" value holding a copy of `text`. False (list unchanged)
// when memory runs out.
bool append_string(kivrel_datalist *list, const char *text) noexcept {
  Data value(kivrel_data_create());
  if (!value) return false;
  kivrel_data_string *payload = kivrel_data_string_create(text);
  if (payload == nullptr) return false;
  if (kivrel_data_string_link(value.get(), payload) != 0) {
    kivrel_data_string_destroy(payload);
    return false;
  }
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), value.release());
  return true;
}

// Appends a "datalist" value that takes over `nested`. False (list unchanged,
// `nested` still the caller's) when memory runs out.
bool append_list(kivrel_datalist *list, kivrel_datalist *nested) noexcept {
  Data value(kivrel_data_create());
  if (!value) return false;
  if (kivrel_data_datalist_link(value.get(), nested) != 0) return false;
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), value.release());
  return true;
}

// Turns the signature list at `*pos` into a list that names each element's
// type: "int" for {i}, "string" for {s}, a nested description for a nested
// list. Moves `*pos` past what it read. Null for a malformed signature, one
// nested deeper than KIVREL_MAX_DEPTH, or exhausted memory; `*no_memory`
// tells the last apart.
kivrel_datalist *kivrel_introspection_describe_signature(const char **pos, int depth,
                                                         bool *no_memory) noexcept {
  if (depth > KIVREL_MAX_DEPTH) return nullptr;
  if (**pos != '[') return nullptr;
  ++*pos;
  Datalist list(kivrel_datalist_create());
  if (!list) {
    *no_memory = true;
    return nullptr;
  }
  while (**pos != '\0') {
    const char c = **pos;
    if (c == ']') break;
    if (c != '{') return nullptr;
    ++*pos;
    switch (**pos) {
    case 'i':
    case 's':
      if (!append_string(list.get(), **pos == 'i' ? kTypeInt : kTypeString)) {
        *no_memory = true;
        return nullptr;
      }
      ++*pos;
      break;
    case '[': {
      Datalist nested(kivrel_introspection_describe_signature(pos, depth + 1, no_memory));
      if (!nested) return nullptr;
      if (!append_list(list.get(), nested.get())) {
        *no_memory = true;
        return nullptr;
      }
      nested.release();
      break;
    }
    default: // another letter, or the text ended inside the value
      return nullptr;
    }
    if (**pos != '}') return nullptr;
    ++*pos;
  }
  // A list cut off by the end of the text ends there, as when building;
  // never step over the terminator.
  if (**pos == ']') ++*pos;
  return list.release();
}

// Appends the description of one signature: "none" for no signature,
// "undef" for an undescribed shape, a type list for a list signature; any
// other text is malformed.
Described append_description(kivrel_datalist *list, const char *sign) noexcept {
  auto appended = [](bool done) { return done ? Described::kDone : Described::kNoMemory; };
  if (sign == nullptr) return appended(append_string(list, "none"));
  if (sign[0] == '?') return appended(append_string(list, "undef"));
  if (sign[0] != '[') return Described::kMalformed;
  const char *pos = sign;
  bool no_memory = false;
  Datalist description(kivrel_introspection_describe_signature(&pos, 1, &no_memory));
  if (!description) return no_memory ? Described::kNoMemory : Described::kMalformed;
  if (!append_list(list, description.get())) return Described::kNoMemory;
  description.release();
  return Described::kDone;
}

// The text that names the method asked about: the first argument, which
// must be a "string" value. Null when there is none.
const char *requested_name(const kivrel_datalist *args) noexcept {
  if (args == nullptr) return nullptr;
  const kivrel_data *first = kivrel_datalist_get_head(args);
  if (first == nullptr) return nullptr;
  const char *type = kivrel_data_get_datatype(first);
  if (type == nullptr || std::strcmp(type, kTypeString) != 0) return nullptr;
  const auto *payload = static_cast<const kivrel_data_string *>(kivrel_data_get_data(first));
  if (payload == nullptr) return nullptr;
  return kivrel_data_string_get_string(payload);
}

int kivrel_introspection_list_methods(const kivrel_datalist * /*args*/, kivrel_datalist **ret,
                                      const kivrel_registry *registry) noexcept {
  Datalist names(kivrel_datalist_create());
  if (!names) return kFailed;
  for (const kivrel_registry_elmt *e = kivrel_registry_get_head(registry); e != nullptr;
       e = kivrel_registry_elmt_get_next(e)) {
    const kivrel_method *method = kivrel_registry_elmt_get_method(e);
    if (method == nullptr) continue;
    const char *name = kivrel_method_get_name(method);
    if (name == nullptr) continue;
    if (!append_string(names.get(), name)) return kFailed;
  }
  *ret = names.release();
  return kAnswered;
}

int kivrel_introspection_method_signature(const kivrel_datalist *args, kivrel_datalist **ret,
                                          const kivrel_registry *registry) noexcept {
  const char *name = requested_name(args);
  if (name == nullptr) return kRefused;
  Datalist result(kivrel_datalist_create());
  if (!result) return kFailed;
  const kivrel_method *method = kivrel_registry_get_method(registry, name);
  // Not found: answered with the empty list, which no response can carry.
  if (method != nullptr) {
    for (const char *sign : {kivrel_method_get_sign_datalist_ret(method),
                             kivrel_method_get_sign_datalist_arg(method)}) {
      const Described described = append_description(result.get(), sign);
      if (described == Described::kMalformed) return kRefused;
      if (described == Described::kNoMemory) return kFailed;
    }
  }
  *ret = result.release();
  return kAnswered;
}

int kivrel_introspection_method_help(const kivrel_datalist *args, kivrel_datalist **ret,
                                     const kivrel_registry *registry) noexcept {
  const char *name = requested_name(args);
  if (name == nullptr) return kRefused;
  const kivrel_method *method = kivrel_registry_get_method(registry, name);
  // Neither an unknown method nor a method without help has a text to give.
  if (method == nullptr) return kAnswered;
  const char *help = kivrel_method_get_help(method);
  if (help == nullptr) return kAnswered;
  // The signature is fixed, so building can fail only for want of memory.
  kivrel_datalist *answer = kivrel_build_root_datalist("[{s}]", help);
  if (answer == nullptr) return kFailed;
  *ret = answer;
  return kAnswered;
}

struct Entry {
  const char *name;
  kivrel_method_exfunc exfunc;
  const char *sign_arg;
  const char *sign_ret;
  const char *help;
};

constexpr Entry kEntries[] = {
    {"KIVREL_LIST_METHODS", kivrel_introspection_list_methods, nullptr, "?",
     "This method returns the list of methods of a KIVREL service."},
    {"KIVREL_METHOD_SIGNATURE", kivrel_introspection_method_signature, "[{s}]", "?",
     "This method returns the signatures of a method."},
    {"KIVREL_METHOD_HELP", kivrel_introspection_method_help, "[{s}]", "[{s}]",
     "This method returns the help string of a method."},
};
constexpr int kEntryCount = sizeof(kEntries) / sizeof(kEntries[0]);

void dispose_method(kivrel_method *method) noexcept {
  if (method == nullptr) return;
  kivrel_method_set_name(method, nullptr);
  kivrel_method_set_sign_datalist_arg(method, nullptr);
  kivrel_method_set_sign_datalist_ret(method, nullptr);
  kivrel_method_set_help(method, nullptr);
  kivrel_method_free(method);
}

} // namespace

namespace kivrel {

bool is_library_introspection(kivrel_method_exfunc exfunc) noexcept {
  for (const Entry &entry : kEntries)
    if (entry.exfunc == exfunc) return true;
  return false;
}

} // namespace kivrel

extern "C" {

int kivrel_introspection_register(kivrel_registry *registry) noexcept {
  // Make every method and element first, so that running out of memory
  // half-way leaves the registry as it was.
  kivrel_method *methods[kEntryCount] = {};
  kivrel_registry_elmt *elements[kEntryCount] = {};
  bool made = true;
  for (int i = 0; i < kEntryCount && made; ++i) {
    const Entry &e = kEntries[i];
    methods[i] = kivrel_method_ex_create(e.name, e.exfunc, e.sign_arg, e.sign_ret, e.help);
    elements[i] = kivrel_registry_elmt_create();
    made = methods[i] != nullptr && elements[i] != nullptr;
  }
  if (!made) {
    for (int i = 0; i < kEntryCount; ++i) {
      dispose_method(methods[i]);
      kivrel_registry_elmt_free(elements[i]);
    }
    return -1;
  }
  for (int i = 0; i < kEntryCount; ++i) {
    kivrel_registry_elmt_set_method(elements[i], methods[i]);
    kivrel_registry_ins_next(registry, kivrel_registry_get_tail(registry), elements[i]);
  }
  return 0;
}

} // extern "C"
