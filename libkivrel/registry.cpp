// The method registry: a singly linked list of elements in the order the
// methods were added. It owns the elements, never the methods.
#include <cstdlib>
#include <cstring>

#include "internal.h"

using kivrel::alloc_record;

extern "C" {

kivrel_registry_elmt *kivrel_registry_elmt_new(void) noexcept {
  return static_cast<kivrel_registry_elmt *>(kivrel::mem_malloc(sizeof(kivrel_registry_elmt)));
}
kivrel_registry_elmt *kivrel_registry_elmt_create(void) noexcept {
  return alloc_record<kivrel_registry_elmt>();
}
void kivrel_registry_elmt_free(kivrel_registry_elmt *element) noexcept { std::free(element); }
int kivrel_registry_elmt_set_method(kivrel_registry_elmt *element, kivrel_method *method) noexcept {
  element->method = method;
  return 0;
}
int kivrel_registry_elmt_set_next(kivrel_registry_elmt *element,
                                  kivrel_registry_elmt *next) noexcept {
  element->next = next;
  return 0;
}
kivrel_method *kivrel_registry_elmt_get_method(const kivrel_registry_elmt *element) noexcept {
  return element->method;
}
kivrel_registry_elmt *kivrel_registry_elmt_get_next(const kivrel_registry_elmt *element) noexcept {
  return element->next;
}

kivrel_registry *kivrel_registry_new(void) noexcept {
  return static_cast<kivrel_registry *>(kivrel::mem_malloc(sizeof(kivrel_registry)));
}
kivrel_registry *kivrel_registry_create(void) noexcept { return alloc_record<kivrel_registry>(); }
void kivrel_registry_free(kivrel_registry *registry) noexcept { std::free(registry); }
int kivrel_registry_set_size(kivrel_registry *registry, int32_t size) noexcept {
  registry->size = size;
  return 0;
}
int kivrel_registry_set_head(kivrel_registry *registry, kivrel_registry_elmt *head) noexcept {
  registry->head = head;
  return 0;
}
int kivrel_registry_set_tail(kivrel_registry *registry, kivrel_registry_elmt *tail) noexcept {
  registry->tail = tail;
  return 0;
}
int32_t kivrel_registry_get_size(const kivrel_registry *registry) noexcept {
  return registry->size;
}
kivrel_registry_elmt *kivrel_registry_get_head(const kivrel_registry *registry) noexcept {
  return registry->head;
}
kivrel_registry_elmt *kivrel_registry_get_tail(const kivrel_registry *registry) noexcept {
  return registry->tail;
}

int kivrel_registry_ins_next(kivrel_registry *registry, kivrel_registry_elmt *after,
                             kivrel_registry_elmt *element) noexcept {
  if (after != nullptr) {
    if (after->next == nullptr) registry->tail = element;
    element->next = after->next;
    after->next = element;
  } else {
    if (registry->size == 0) registry->tail = element;
    element->next = registry->head;
    registry->head = element;
  }
  registry->size++;
  return 0;
}

int kivrel_registry_add_method(kivrel_registry *registry, kivrel_method *method) noexcept {
  kivrel_registry_elmt *element = kivrel_registry_elmt_create();
  if (element == nullptr) return -1;
  kivrel_registry_elmt_set_method(element, method);
  // An empty registry has no tail, so the first element goes in at the head.
  return kivrel_registry_ins_next(registry, registry->tail, element);
}

kivrel_method *kivrel_registry_get_method(const kivrel_registry *registry,
                                          const char *name) noexcept {
  if (registry->size == 0) return nullptr;
  for (const kivrel_registry_elmt *e = registry->head; e != nullptr; e = e->next) {
    const kivrel_method *m = e->method;
    if (m == nullptr || m->name == nullptr) continue;
    if (std::strcmp(m->name, name) == 0) return e->method;
  }
  return nullptr;
}

void kivrel_registry_destroy(kivrel_registry *registry, int with_methods) noexcept {
  if (registry == nullptr) return;
  kivrel_registry_elmt *element = registry->head;
  while (element != nullptr) {
    kivrel_registry_elmt *next = element->next;
    kivrel_method *method = element->method;
    if (with_methods != 0 && method != nullptr) {
      // A method added more than once is released at its last element only:
      // its earlier elements are still to be walked past.
      bool again = false;
      for (const kivrel_registry_elmt *later = next; later != nullptr && !again;
           later = later->next)
        again = later->method == method;
      if (!again) kivrel_method_destroy(method);
    }
    kivrel_registry_elmt_free(element);
    element = next;
  }
  kivrel_registry_free(registry);
}

} // extern "C"
