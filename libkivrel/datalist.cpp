// The intrusive value list: the values are the nodes, so appending through
// `tail` and removing the head need no allocation.
#include <cstdlib>

#include "internal.h"

extern "C" {

kivrel_datalist *kivrel_datalist_new(void) noexcept {
  return static_cast<kivrel_datalist *>(kivrel::mem_malloc(sizeof(kivrel_datalist)));
}
void kivrel_datalist_free(kivrel_datalist *list) noexcept { std::free(list); }
kivrel_datalist *kivrel_datalist_create(void) noexcept {
  return kivrel::alloc_record<kivrel_datalist>();
}

void kivrel_datalist_destroy(kivrel_datalist *list) noexcept {
  if (list == nullptr) return;
  // Iterative over the values; a nested list recurses once per level, and
  // every producer in the library bounds the depth.
  kivrel_data *value = nullptr;
  while (list->size != 0) {
    if (kivrel_datalist_rem_next(list, nullptr, &value) == 0 && value != nullptr)
      kivrel_data_destroy(value);
  }
  kivrel_datalist_free(list);
}

int kivrel_datalist_ins_next(kivrel_datalist *list, kivrel_data *element,
                             kivrel_data *value) noexcept {
  if (element == nullptr) {
    if (list->size == 0) list->tail = value;
    value->next = list->head;
    list->head = value;
  } else {
    if (element->next == nullptr) list->tail = value;
    value->next = element->next;
    element->next = value;
  }
  list->size++;
  return 0;
}

int kivrel_datalist_rem_next(kivrel_datalist *list, kivrel_data *element,
                             kivrel_data **removed) noexcept {
  if (list->size == 0) return -1;
  kivrel_data *old;
  if (element == nullptr) {
    old = list->head;
    list->head = old->next;
    if (list->size == 1) list->tail = nullptr;
  } else {
    if (element->next == nullptr) return -1;
    old = element->next;
    element->next = old->next;
    if (element->next == nullptr) list->tail = element;
  }
  list->size--;
  *removed = old;
  return 0;
}

int kivrel_datalist_set_size(kivrel_datalist *list, uint32_t size) noexcept {
  list->size = size;
  return 0;
}
int kivrel_datalist_set_head(kivrel_datalist *list, kivrel_data *head) noexcept {
  list->head = head;
  return 0;
}
int kivrel_datalist_set_tail(kivrel_datalist *list, kivrel_data *tail) noexcept {
  list->tail = tail;
  return 0;
}
uint32_t kivrel_datalist_get_size(const kivrel_datalist *list) noexcept { return list->size; }
kivrel_data *kivrel_datalist_get_head(const kivrel_datalist *list) noexcept { return list->head; }
kivrel_data *kivrel_datalist_get_tail(const kivrel_datalist *list) noexcept { return list->tail; }

} // extern "C"
