// Building lists from signature strings and taking them apart again.
// Malformed signatures must release everything they made: the sanitizer and
// valgrind runs of this file are what prove it.
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "kivrel.h"

namespace {

struct ListOwner {
  kivrel_datalist *list;
  ~ListOwner() { kivrel_datalist_destroy(list); }
};

const kivrel_data *nth(const kivrel_datalist *list, int k) {
  const kivrel_data *v = list->head;
  while (v != nullptr && k-- > 0)
    v = v->next;
  return v;
}

int32_t int_of(const kivrel_data *v) {
  EXPECT_STREQ(v->datatype, "int");
  EXPECT_EQ(v->size, 4);
  return *static_cast<const int32_t *>(v->data);
}

std::string text_of(const kivrel_data *v) {
  EXPECT_STREQ(v->datatype, "string");
  const auto *s = static_cast<const kivrel_data_string *>(v->data);
  EXPECT_EQ(s->memblk[s->size - 1], 0);
  return std::string(reinterpret_cast<const char *>(s->memblk), s->size - 1);
}

const kivrel_datalist *list_of(const kivrel_data *v) {
  EXPECT_STREQ(v->datatype, "datalist");
  return static_cast<const kivrel_datalist *>(v->data);
}

// A value appended by hand, with any type name and no payload: reading its
// payload would dereference NULL.
void append_bare(kivrel_datalist *list, const char *type) {
  kivrel_data *v = kivrel_data_create();
  ASSERT_NE(v, nullptr);
  kivrel_data_set_datatype(v, type);
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), v);
}

// `levels` lists nested through single values, the innermost holding {i}.
std::string nested_signature(int levels) {
  std::string s;
  for (int k = 1; k < levels; ++k)
    s += "[{";
  s += "[{i}]";
  for (int k = 1; k < levels; ++k)
    s += "}]";
  return s;
}

TEST(Signature, BuildsTheDocumentedShapesAndDecomposesThemBack) {
  ListOwner one{kivrel_build_root_datalist("[{i}]", 1)};
  ASSERT_NE(one.list, nullptr);
  ASSERT_EQ(one.list->size, 1u);
  EXPECT_EQ(int_of(one.list->head), 1);
  EXPECT_EQ(one.list->head, one.list->tail);

  // Extremes and negatives travel unchanged, in order.
  ListOwner ints{kivrel_build_root_datalist("[{i}{i}{i}{i}]", INT32_MIN, INT32_MAX, -1, 0)};
  ASSERT_NE(ints.list, nullptr);
  ASSERT_EQ(ints.list->size, 4u);
  EXPECT_EQ(int_of(nth(ints.list, 0)), INT32_MIN);
  EXPECT_EQ(int_of(nth(ints.list, 1)), INT32_MAX);
  EXPECT_EQ(int_of(nth(ints.list, 2)), -1);
  EXPECT_EQ(int_of(nth(ints.list, 3)), 0);
  int32_t a = 5, b = 5, c = 5, d = 5;
  EXPECT_EQ(kivrel_decompose_root_datalist(ints.list, "[{i}{i}{i}{i}]", &a, &b, &c, &d), 0);
  EXPECT_EQ(a, INT32_MIN);
  EXPECT_EQ(b, INT32_MAX);
  EXPECT_EQ(c, -1);
  EXPECT_EQ(d, 0);

  // Texts are copied in, and copied out with their NUL.
  char text[] = "help text";
  ListOwner str{kivrel_build_root_datalist("[{s}{s}]", text, "")};
  ASSERT_NE(str.list, nullptr);
  text[0] = 'X';
  EXPECT_EQ(text_of(nth(str.list, 0)), "help text");
  EXPECT_EQ(static_cast<const kivrel_data_string *>(nth(str.list, 1)->data)->size, 1u);
  EXPECT_EQ(nth(str.list, 0)->size, 0);
  char out1[32], out2[32];
  std::memset(out1, '#', sizeof out1);
  std::memset(out2, '#', sizeof out2);
  EXPECT_EQ(kivrel_decompose_root_datalist(str.list, "[{s}{s}]", out1, out2), 0);
  EXPECT_STREQ(out1, "help text");
  EXPECT_EQ(out2[0], '\0');
  EXPECT_EQ(out2[1], '#') << "the empty text writes a single NUL";

  // 7, then a nested list of a text and 9.
  ListOwner nested{kivrel_build_root_datalist("[{i}{[{s}{i}]}]", 7, "robot", 9)};
  ASSERT_NE(nested.list, nullptr);
  ASSERT_EQ(nested.list->size, 2u);
  EXPECT_EQ(int_of(nth(nested.list, 0)), 7);
  const kivrel_datalist *inner = list_of(nth(nested.list, 1));
  EXPECT_EQ(nth(nested.list, 1)->size, 0);
  ASSERT_EQ(inner->size, 2u);
  EXPECT_EQ(text_of(nth(inner, 0)), "robot");
  EXPECT_EQ(int_of(nth(inner, 1)), 9);
  int32_t x = 0, y = 0;
  char name[16] = "";
  EXPECT_EQ(kivrel_decompose_root_datalist(nested.list, "[{i}{[{s}{i}]}]", &x, name, &y), 0);
  EXPECT_EQ(x, 7);
  EXPECT_STREQ(name, "robot");
  EXPECT_EQ(y, 9);

  // Sixteen integers: the k-th address receives the k-th value.
  std::string sixteen = "[";
  for (int k = 0; k < 16; ++k)
    sixteen += "{i}";
  sixteen += "]";
  ListOwner many{kivrel_build_root_datalist(sixteen.c_str(), 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                            12, 13, 14, 15)};
  ASSERT_NE(many.list, nullptr);
  int32_t s[16] = {};
  EXPECT_EQ(kivrel_decompose_root_datalist(many.list, sixteen.c_str(), &s[0], &s[1], &s[2], &s[3],
                                           &s[4], &s[5], &s[6], &s[7], &s[8], &s[9], &s[10], &s[11],
                                           &s[12], &s[13], &s[14], &s[15]),
            0);
  for (int k = 0; k < 16; ++k)
    EXPECT_EQ(s[k], k);
}

TEST(Signature, EmptyListsTakeNoArgumentsAndWriteNothing) {
  ListOwner empty{kivrel_build_root_datalist("[]")};
  ASSERT_NE(empty.list, nullptr);
  EXPECT_EQ(empty.list->size, 0u);
  EXPECT_EQ(empty.list->head, nullptr);
  EXPECT_EQ(empty.list->tail, nullptr);

  ListOwner holder{kivrel_build_root_datalist("[{[]}{i}]", 3)};
  ASSERT_NE(holder.list, nullptr);
  ASSERT_EQ(holder.list->size, 2u);
  const kivrel_datalist *inner = list_of(holder.list->head);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->size, 0u);
  EXPECT_EQ(inner->head, nullptr);
  EXPECT_EQ(int_of(holder.list->tail), 3) << "the nested [] took no argument";

  EXPECT_EQ(kivrel_decompose_root_datalist(holder.list, "[]"), 0);
  int32_t v = 0;
  EXPECT_EQ(kivrel_decompose_root_datalist(holder.list, "[{[]}{i}]", &v), 0);
  EXPECT_EQ(v, 3);
}

TEST(Signature, RootEndsAtTextEndAndIgnoresTextAfterItsBracket) {
  for (const char *sign : {"[{i}{s}", "[{i}{s}]", "[{i}{s}]junk", "[{i}{s}]{i}junk", "[{i}{s}]]"}) {
    ListOwner l{kivrel_build_root_datalist(sign, -42, "t")};
    ASSERT_NE(l.list, nullptr) << sign;
    ASSERT_EQ(l.list->size, 2u) << sign;
    EXPECT_EQ(int_of(l.list->head), -42);
    EXPECT_EQ(text_of(l.list->tail), "t");
    int32_t v = 0;
    char t[4] = "";
    EXPECT_EQ(kivrel_decompose_root_datalist(l.list, sign, &v, t), 0) << sign;
    EXPECT_EQ(v, -42);
    EXPECT_STREQ(t, "t");
  }
  // "[" alone is an unterminated empty root.
  ListOwner bare{kivrel_build_root_datalist("[")};
  ASSERT_NE(bare.list, nullptr);
  EXPECT_EQ(bare.list->size, 0u);
}

TEST(Signature, DecomposeReadsLeadingValuesAndFailsAtTheEndOfAShortList) {
  ListOwner three{kivrel_build_root_datalist("[{i}{i}{[{i}]}]", 1, 2, 3)};
  ASSERT_NE(three.list, nullptr);
  int32_t a = 0;
  EXPECT_EQ(kivrel_decompose_root_datalist(three.list, "[{i}]", &a), 0);
  EXPECT_EQ(a, 1);

  int32_t x = -9, y = -9, z = -9, w = -9;
  EXPECT_EQ(kivrel_decompose_root_datalist(three.list, "[{i}{i}{[{i}]}{i}]", &x, &y, &z, &w), -1);
  EXPECT_EQ(x, 1);
  EXPECT_EQ(y, 2);
  EXPECT_EQ(z, 3);
  EXPECT_EQ(w, -9) << "a missing value writes nothing";

  x = y = z = w = -9;
  EXPECT_EQ(kivrel_decompose_root_datalist(three.list, "[{i}{i}{[{i}{i}]}]", &x, &y, &z, &w), -1);
  EXPECT_EQ(z, 3);
  EXPECT_EQ(w, -9) << "same for a short nested list";
}

TEST(Signature, DecomposeRefusesAMismatchedTypeWithoutReadingThePayload) {
  // Every value here has a NULL payload: reading one would crash.
  ListOwner bare{kivrel_datalist_create()};
  ASSERT_NE(bare.list, nullptr);
  append_bare(bare.list, "string");
  int32_t n = 77;
  char buf[8] = "keep";
  EXPECT_EQ(kivrel_decompose_root_datalist(bare.list, "[{i}]", &n), -1);
  EXPECT_EQ(kivrel_decompose_root_datalist(bare.list, "[{[{i}]}]", &n), -1);
  for (const char *type : {"int", "Int", "integer", "in", "datalist", "memblock_int8"}) {
    ListOwner l{kivrel_datalist_create()};
    append_bare(l.list, type);
    EXPECT_EQ(kivrel_decompose_root_datalist(l.list, "[{s}]", buf), -1) << type;
    if (std::strcmp(type, "int") != 0) {
      EXPECT_EQ(kivrel_decompose_root_datalist(l.list, "[{i}]", &n), -1) << type;
    }
    if (std::strcmp(type, "datalist") != 0) {
      EXPECT_EQ(kivrel_decompose_root_datalist(l.list, "[{[]}]"), -1) << type;
    }
  }
  ListOwner untyped{kivrel_datalist_create()};
  append_bare(untyped.list, nullptr);
  EXPECT_EQ(kivrel_decompose_root_datalist(untyped.list, "[{i}]", &n), -1);
  EXPECT_EQ(n, 77);
  EXPECT_STREQ(buf, "keep");

  // A real value: the letter before the mismatch was served.
  ListOwner real{kivrel_build_root_datalist("[{i}{i}]", 4, 5)};
  int32_t first = 0;
  EXPECT_EQ(kivrel_decompose_root_datalist(real.list, "[{i}{s}]", &first, buf), -1);
  EXPECT_EQ(first, 4);
  EXPECT_STREQ(buf, "keep");
}

TEST(Signature, MalformedSignaturesFailAndReleaseWhatTheyBuilt) {
  ListOwner good{kivrel_build_root_datalist("[{i}{i}{[{i}{i}]}{i}]", 1, 2, 3, 4, 5)};
  ASSERT_NE(good.list, nullptr);
  const char *bad[] = {
      "",
      "x",
      "{i}]",
      " [{i}]",
      "[{}]",
      "[{x}]",
      "[{i]",
      "[{ii}]",
      "[{i}x]",
      "[{i} ]",
      "[{i}{",
      "[{",
      "[{i",
      "[{[{i}",
      "[{[{i}]",
      "[{[",
      "[{i}{i}{[{i}{i}]{i}]",
      "[{i}{i}{[{i}{i}x]}]",
      "[{i}{i}{[{i}{i}]}{i}}]",
      "[{I}]",
      "[{[{}]}]",
  };
  for (const char *sign : bad) {
    EXPECT_EQ(kivrel_build_root_datalist(sign, 1, 2, 3, 4, 5, 6), nullptr) << "'" << sign << "'";
    int32_t v[6] = {};
    EXPECT_EQ(
        kivrel_decompose_root_datalist(good.list, sign, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]),
        -1)
        << "'" << sign << "'";
  }
  // Failures after texts and nested lists were already made.
  EXPECT_EQ(kivrel_build_root_datalist("[{s}{[{s}{i}]}{[{s}x]}]", "a", "b", 1, "c"), nullptr);
  EXPECT_EQ(kivrel_build_root_datalist("[{s}{[{[{s}]}{[{s}]", "a", "b", "c"), nullptr);
}

TEST(Signature, NestingIsLimitedTo256Lists) {
  // The root list counts as level 1: 256 levels build and decompose, 257
  // are refused in both directions.
  const std::string deepest = nested_signature(KIVREL_MAX_DEPTH);
  const std::string too_deep = nested_signature(KIVREL_MAX_DEPTH + 1);
  ListOwner ok{kivrel_build_root_datalist(deepest.c_str(), 31)};
  ASSERT_NE(ok.list, nullptr);
  int32_t v = 0;
  EXPECT_EQ(kivrel_decompose_root_datalist(ok.list, deepest.c_str(), &v), 0);
  EXPECT_EQ(v, 31);
  EXPECT_EQ(kivrel_build_root_datalist(too_deep.c_str(), 31), nullptr);

  // A 257-level list made by hand: the signature that matches it is refused
  // before its innermost value is reached.
  kivrel_data *wrapper = kivrel_data_create();
  ASSERT_NE(wrapper, nullptr);
  kivrel_data_datalist_link(wrapper, ok.list);
  ListOwner deeper{kivrel_datalist_create()};
  kivrel_datalist_ins_next(deeper.list, nullptr, wrapper);
  ok.list = nullptr; // now owned through `deeper`
  v = 0;
  EXPECT_EQ(kivrel_decompose_root_datalist(deeper.list, too_deep.c_str(), &v), -1);
  EXPECT_EQ(v, 0);

  // Far deeper texts are refused without exhausting the stack.
  std::string abyss;
  for (int k = 0; k < 200000; ++k)
    abyss += "[{";
  EXPECT_EQ(kivrel_build_root_datalist(abyss.c_str()), nullptr);
  EXPECT_EQ(kivrel_decompose_root_datalist(deeper.list, abyss.c_str()), -1);
}

// Runs one exported step on a va_list of the given ints and reports where
// both cursors stopped: the rest of the text and the next unread int.
struct StepResult {
  kivrel_datalist *list;
  std::string rest;
  int next_arg;
};

StepResult build_step(const char *sign, ...) {
  va_list args;
  va_start(args, sign);
  const char *pos = sign;
  StepResult r{kivrel_build_datalist(&pos, &args), pos, 0};
  r.next_arg = va_arg(args, int);
  va_end(args);
  return r;
}

StepResult decompose_step(const kivrel_data *value, const char *sign, ...) {
  va_list args;
  va_start(args, sign);
  const char *pos = sign;
  int rc = kivrel_decompose_data(value, &pos, &args);
  StepResult r{nullptr, pos, rc};
  va_end(args);
  return r;
}

TEST(Signature, StepsLeaveBothCursorsJustPastWhatTheyConsumed) {
  StepResult r = build_step("[{i}{[{i}]}]{i}rest", 10, 20, 30);
  ListOwner built{r.list};
  ASSERT_NE(built.list, nullptr);
  EXPECT_EQ(r.rest, "{i}rest");
  EXPECT_EQ(r.next_arg, 30);

  r = build_step("{i}]", 10, 20);
  EXPECT_EQ(r.list, nullptr);
  EXPECT_EQ(r.next_arg, 10) << "a text not starting with '[' takes no argument";

  // A failing step never moves the cursor beyond the end of the text.
  r = build_step("", 10);
  EXPECT_EQ(r.list, nullptr);
  EXPECT_EQ(r.rest, "");

  int32_t x = 0;
  r = decompose_step(built.list->head, "{i}{i}", &x);
  EXPECT_EQ(r.next_arg, 0);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(r.rest, "{i}");
  r = decompose_step(built.list->head, "{i", &x);
  EXPECT_EQ(r.next_arg, -1) << "a value cut off by the end of the text";
  EXPECT_EQ(r.rest, "");
}

} // namespace
