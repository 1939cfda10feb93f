// Shared by the document fuzzers: whether two value lists have the same
// shape and contents, value by value.
#ifndef KIVREL_FUZZ_SAME_LIST_H
#define KIVREL_FUZZ_SAME_LIST_H

#include <cstring>

#include "kivrel.h"

namespace {

bool same_list(const kivrel_datalist *a, const kivrel_datalist *b);

bool same_value(const kivrel_data *a, const kivrel_data *b) {
  if (a->datatype == nullptr || b->datatype == nullptr) return a->datatype == b->datatype;
  if (std::strcmp(a->datatype, b->datatype) != 0) return false;
  if (std::strcmp(a->datatype, "int") == 0)
    return *static_cast<const kivrel_data_int *>(a->data) ==
           *static_cast<const kivrel_data_int *>(b->data);
  if (std::strcmp(a->datatype, "string") == 0)
    return std::strcmp(kivrel_data_string_get_string(static_cast<kivrel_data_string *>(a->data)),
                       kivrel_data_string_get_string(static_cast<kivrel_data_string *>(b->data))) ==
           0;
  return same_list(static_cast<const kivrel_datalist *>(a->data),
                   static_cast<const kivrel_datalist *>(b->data));
}

bool same_list(const kivrel_datalist *a, const kivrel_datalist *b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->size != b->size) return false;
  for (const kivrel_data *x = a->head, *y = b->head; x != nullptr; x = x->next, y = y->next)
    if (!same_value(x, y)) return false;
  return true;
}

} // namespace

#endif
