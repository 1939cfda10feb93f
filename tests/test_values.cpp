// Values, payloads and the intrusive value list. Ownership is checked by the
// sanitizer and valgrind runs of this file: every test ends with nothing left
// allocated.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivrel.h"

namespace {

kivrel_data *int_value(int32_t n) {
  kivrel_data *v = kivrel_data_create();
  kivrel_data_int_link(v, kivrel_data_int_create(n));
  return v;
}

// The list's fields against the expected chain of values.
void expect_chain(const kivrel_datalist *list, const std::vector<kivrel_data *> &model) {
  ASSERT_EQ(list->size, model.size());
  if (model.empty()) {
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);
    return;
  }
  EXPECT_EQ(list->head, model.front());
  EXPECT_EQ(list->tail, model.back());
  const kivrel_data *v = list->head;
  for (kivrel_data *expected : model) {
    ASSERT_EQ(v, expected);
    v = v->next;
  }
  EXPECT_EQ(v, nullptr) << "the tail ends the chain";
}

TEST(Datalist, StaysConsistentAcrossRandomInsertsAndRemoves) {
  kivrel_datalist *list = kivrel_datalist_create();
  ASSERT_NE(list, nullptr);
  std::vector<kivrel_data *> model;
  std::mt19937 rng(7);
  int32_t serial = 0;
  for (int step = 0; step < 3000; ++step) {
    // Positions 0..size: 0 means "no element" (the front), k the k-th value.
    const size_t at = std::uniform_int_distribution<size_t>(0, model.size())(rng);
    kivrel_data *element = at == 0 ? nullptr : model[at - 1];
    if (std::uniform_int_distribution<int>(0, 9)(rng) < 5) {
      kivrel_data *v = int_value(serial++);
      ASSERT_EQ(kivrel_datalist_ins_next(list, element, v), 0);
      model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), v);
    } else {
      kivrel_data *removed = reinterpret_cast<kivrel_data *>(0x1);
      const bool possible = at < model.size();
      ASSERT_EQ(kivrel_datalist_rem_next(list, element, &removed), possible ? 0 : -1);
      if (possible) {
        ASSERT_EQ(removed, model[at]);
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        kivrel_data_destroy(removed);
      } else {
        EXPECT_EQ(removed, reinterpret_cast<kivrel_data *>(0x1)) << "not written on failure";
      }
    }
    expect_chain(list, model);
    if (HasFatalFailure()) break;
  }
  kivrel_datalist_destroy(list);
}

TEST(Datalist, EdgesOfEmptyAndOneValueLists) {
  kivrel_datalist *list = kivrel_datalist_create();
  ASSERT_NE(list, nullptr);
  kivrel_data sentinel{};
  kivrel_data *out = &sentinel;
  EXPECT_EQ(kivrel_datalist_rem_next(list, nullptr, &out), -1);
  EXPECT_EQ(out, &sentinel) << "not written on failure";

  kivrel_data *a = int_value(1);
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), a);
  expect_chain(list, {a});
  EXPECT_EQ(kivrel_datalist_rem_next(list, a, &out), -1) << "nothing after the last value";
  EXPECT_EQ(kivrel_datalist_rem_next(list, nullptr, &out), 0);
  EXPECT_EQ(out, a);
  expect_chain(list, {});
  kivrel_data_destroy(out);

  // Appending after the list emptied works as on a new list.
  kivrel_data *b = int_value(2), *c = int_value(3);
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), b);
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), c);
  expect_chain(list, {b, c});
  EXPECT_EQ(kivrel_datalist_rem_next(list, b, &out), 0);
  EXPECT_EQ(kivrel_datalist_get_tail(list), b) << "removing the successor's tail moves the tail";
  kivrel_data_destroy(out);
  kivrel_datalist_destroy(list);
  kivrel_datalist_destroy(nullptr);
}

TEST(Data, DestroyingTheOuterListReleasesTheWholeTree) {
  // outer: int, string, byte block, datalist(int, datalist(string, []))
  kivrel_datalist *outer = kivrel_datalist_create();
  kivrel_datalist *middle = kivrel_datalist_create();
  kivrel_datalist *inner = kivrel_datalist_create();
  kivrel_datalist *empty = kivrel_datalist_create();
  ASSERT_TRUE(outer && middle && inner && empty);

  kivrel_data *s = kivrel_data_create();
  kivrel_data_string_link(s, kivrel_data_string_create("deep"));
  kivrel_datalist_ins_next(inner, nullptr, s);
  kivrel_data *e = kivrel_data_create();
  kivrel_data_datalist_link(e, empty);
  kivrel_datalist_ins_next(inner, kivrel_datalist_get_tail(inner), e);

  kivrel_datalist_ins_next(middle, nullptr, int_value(5));
  kivrel_data *in = kivrel_data_create();
  kivrel_data_datalist_link(in, inner);
  kivrel_datalist_ins_next(middle, kivrel_datalist_get_tail(middle), in);

  kivrel_datalist_ins_next(outer, nullptr, int_value(1));
  kivrel_data *str = kivrel_data_create();
  kivrel_data_string_link(str, kivrel_data_string_create("text"));
  kivrel_datalist_ins_next(outer, kivrel_datalist_get_tail(outer), str);
  kivrel_data *blk = kivrel_data_create();
  kivrel_data_memblk_int8 *bytes = kivrel_data_memblk_int8_create(16);
  ASSERT_NE(bytes, nullptr);
  kivrel_data_memblk_int8_memset(bytes, 0, 16);
  kivrel_data_memblk_int8_link(blk, bytes);
  kivrel_datalist_ins_next(outer, kivrel_datalist_get_tail(outer), blk);
  kivrel_data *mid = kivrel_data_create();
  kivrel_data_datalist_link(mid, middle);
  kivrel_datalist_ins_next(outer, kivrel_datalist_get_tail(outer), mid);

  EXPECT_EQ(kivrel_datalist_get_size(outer), 4u);
  EXPECT_STREQ(kivrel_data_get_datatype(kivrel_datalist_get_tail(outer)), "datalist");
  EXPECT_EQ(kivrel_data_get_data(kivrel_datalist_get_tail(middle)), inner);

  // A lone "datalist" value takes its nested list with it, too.
  kivrel_data *lone = kivrel_data_create();
  kivrel_datalist *held = kivrel_datalist_create();
  kivrel_datalist_ins_next(held, nullptr, int_value(9));
  kivrel_data_datalist_link(lone, held);
  kivrel_data_destroy(lone);

  kivrel_datalist_destroy(outer);
}

TEST(Data, BlockCopyAndFillStopAtTheBlockSize) {
  kivrel_data_memblk_int8 *blk = kivrel_data_memblk_int8_create(4);
  ASSERT_NE(blk, nullptr);
  EXPECT_EQ(kivrel_data_memblk_int8_get_size(blk), 4u);
  const char src[6] = "abcde";
  EXPECT_EQ(kivrel_data_memblk_int8_memset(blk, 0x1AB, 4), 0);
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(static_cast<uint8_t>(blk->memblk[k]), 0xAB);
  EXPECT_EQ(kivrel_data_memblk_int8_memcpy(blk, src, 5), -1);
  EXPECT_EQ(kivrel_data_memblk_int8_memset(blk, 0, 5), -1);
  EXPECT_EQ(kivrel_data_memblk_int8_memcpy(blk, src, 0), 0);
  EXPECT_EQ(static_cast<uint8_t>(blk->memblk[0]), 0xAB) << "refused and empty calls touch nothing";
  EXPECT_EQ(kivrel_data_memblk_int8_memcpy(blk, src, 4), 0);
  EXPECT_EQ(std::memcmp(blk->memblk, "abcd", 4), 0);
  EXPECT_EQ(kivrel_data_memblk_int8_memset(blk, 'z', 2), 0);
  EXPECT_EQ(std::memcmp(blk->memblk, "zzcd", 4), 0);
  kivrel_data_memblk_int8_destroy(blk);

  // A zero-size block refuses every non-empty copy.
  kivrel_data_memblk_int8 *none = kivrel_data_memblk_int8_create(0);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(kivrel_data_memblk_int8_memcpy(none, src, 1), -1);
  EXPECT_EQ(kivrel_data_memblk_int8_memset(none, 0, 0), 0);
  kivrel_data_memblk_int8_destroy(none);
}

TEST(Data, StringsHoldACopyAndItsTerminator) {
  kivrel_data_string *empty = kivrel_data_string_create("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->size, 1u);
  EXPECT_EQ(empty->memblk[0], 0);
  EXPECT_EQ(kivrel_data_string_strlen(empty), 0u);
  kivrel_data_string_destroy(empty);

  char text[] = "KIVREL";
  kivrel_data_string *s = kivrel_data_string_create(text);
  ASSERT_NE(s, nullptr);
  text[0] = 'x';
  EXPECT_EQ(s->size, 7u);
  EXPECT_STREQ(kivrel_data_string_get_string(s), "KIVREL");
  EXPECT_EQ(kivrel_data_string_strlen(s), 6u);
  kivrel_data_string_destroy(s);
}

TEST(Data, LinksSetTypeAndSizeAndTypeNamesAreCopies) {
  kivrel_data *v = kivrel_data_create();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->datatype, nullptr);
  EXPECT_EQ(v->size, 0);
  EXPECT_EQ(v->data, nullptr);
  EXPECT_EQ(v->next, nullptr);

  kivrel_data_int *n = kivrel_data_int_create(-3);
  EXPECT_EQ(kivrel_data_int_link(v, n), 0);
  EXPECT_STREQ(v->datatype, "int");
  EXPECT_EQ(kivrel_data_get_size(v), 4);
  EXPECT_EQ(kivrel_data_int_get(static_cast<kivrel_data_int *>(kivrel_data_get_data(v))), -3);

  // A new link replaces type and size; the old payload stays with us.
  kivrel_data_string *s = kivrel_data_string_create("x");
  EXPECT_EQ(kivrel_data_string_link(v, s), 0);
  EXPECT_STREQ(v->datatype, "string");
  EXPECT_EQ(v->size, 0);
  kivrel_data_int_destroy(n);
  kivrel_datalist *l = kivrel_datalist_create();
  EXPECT_EQ(kivrel_data_datalist_link(v, l), 0);
  EXPECT_STREQ(v->datatype, "datalist");
  EXPECT_EQ(v->size, 0);
  kivrel_data_string_destroy(s);
  kivrel_data_memblk_int8 *b = kivrel_data_memblk_int8_create(2);
  EXPECT_EQ(kivrel_data_memblk_int8_link(v, b), 0);
  EXPECT_STREQ(v->datatype, "memblock_int8");
  EXPECT_EQ(v->size, 0);
  kivrel_datalist_destroy(l);

  // The stored name is a private copy.
  char name[] = "custom";
  EXPECT_EQ(kivrel_data_set_datatype(v, name), 0);
  EXPECT_NE(kivrel_data_get_datatype(v), name);
  name[0] = 'X';
  EXPECT_STREQ(kivrel_data_get_datatype(v), "custom");
  // An unknown or missing type name leaves the payload alone on destroy.
  kivrel_data_destroy(v);
  EXPECT_EQ(kivrel_data_memblk_int8_memset(b, 1, 2), 0) << "payload still alive";
  kivrel_data_memblk_int8_destroy(b);

  kivrel_data *w = int_value(8);
  kivrel_data_int *payload = static_cast<kivrel_data_int *>(w->data);
  EXPECT_EQ(kivrel_data_set_datatype(w, nullptr), 0);
  EXPECT_EQ(kivrel_data_get_datatype(w), nullptr);
  kivrel_data_destroy(w);
  EXPECT_EQ(kivrel_data_int_get(payload), 8);
  kivrel_data_int_destroy(payload);
}

} // namespace
