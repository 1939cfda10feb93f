// The call and response documents through the library, next to the floor:
// the same documents built, written, parsed and walked with plain libxml2
// calls and nothing around them. Lib/ and Floor/ pairs do the same work.
#include <charconv>
#include <cstdint>
#include <cstring>

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "kivrel.h"

namespace {

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
constexpr char kSixteen[] = "[{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}]";
constexpr int32_t kValues[16] = {
    120, -45, 0, 1, 2147483647, -2147483647 - 1, 7, 50017, 3, -1, 999, 42, 100, -100, 13, 8};

const xmlChar *x(const char *s) { return reinterpret_cast<const xmlChar *>(s); }

kivrel_datalist *int_list(const int32_t *values, int count) {
  kivrel_datalist *list = kivrel_datalist_create();
  for (int i = 0; i < count; ++i) {
    kivrel_data *v = kivrel_data_create();
    kivrel_data_int_link(v, kivrel_data_int_create(values[i]));
    kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), v);
  }
  return list;
}

// ---- the floor: plain libxml2

xmlNode *floor_int_list(const int32_t *values, int count) {
  xmlNode *list = xmlNewNode(nullptr, x("datalist"));
  for (int i = 0; i < count; ++i) {
    char digits[12];
    *std::to_chars(digits, digits + 11, values[i]).ptr = '\0';
    xmlNode *integer = xmlNewNode(nullptr, x("int"));
    xmlAddChild(integer, xmlNewText(x(digits)));
    xmlNode *data = xmlNewNode(nullptr, x("data"));
    xmlAddChild(data, integer);
    xmlAddChild(list, data);
  }
  return list;
}

void floor_write(const char *root_name, const char *name, const char *holder_name,
                 const int32_t *values, int count, xmlChar **text, int *len) {
  xmlDoc *doc = xmlNewDoc(x("1.0"));
  xmlNode *root = xmlNewNode(nullptr, x(root_name));
  xmlDocSetRootElement(doc, root);
  if (name != nullptr) xmlNewChild(root, nullptr, x("method_name"), x(name));
  xmlNode *holder = xmlNewChild(root, nullptr, x(holder_name), nullptr);
  xmlAddChild(holder, floor_int_list(values, count));
  xmlDocDumpFormatMemory(doc, text, len, 1);
  xmlFreeDoc(doc);
}

// The integers of the first datalist under `holder`, read in place.
int floor_read_ints(const xmlNode *holder, int32_t *out, int max) {
  int n = 0;
  for (const xmlNode *l = holder->children; l != nullptr; l = l->next) {
    if (l->type != XML_ELEMENT_NODE || xmlStrcmp(l->name, x("datalist")) != 0) continue;
    for (const xmlNode *d = l->children; d != nullptr; d = d->next) {
      if (d->type != XML_ELEMENT_NODE || xmlStrcmp(d->name, x("data")) != 0) continue;
      for (const xmlNode *v = d->children; v != nullptr; v = v->next) {
        if (v->type != XML_ELEMENT_NODE || xmlStrcmp(v->name, x("int")) != 0) continue;
        if (v->children == nullptr || n == max) return -1;
        const char *t = reinterpret_cast<const char *>(v->children->content);
        std::from_chars(t, t + std::strlen(t), out[n++]);
      }
    }
    break;
  }
  return n;
}

int floor_read(const char *doc, int len, const char *root_name, const char *holder_name, char *name,
               size_t name_size, int32_t *out, int max) {
  xmlDoc *d = xmlReadMemory(doc, len, nullptr, nullptr, kParseOptions);
  if (d == nullptr) return -1;
  int n = -1;
  const xmlNode *root = xmlDocGetRootElement(d);
  if (root != nullptr && xmlStrcmp(root->name, x(root_name)) == 0) {
    for (const xmlNode *c = root->children; c != nullptr; c = c->next) {
      if (c->type != XML_ELEMENT_NODE) continue;
      if (name != nullptr && xmlStrcmp(c->name, x("method_name")) == 0 && c->children != nullptr) {
        const char *t = reinterpret_cast<const char *>(c->children->content);
        std::strncpy(name, t, name_size - 1);
        name[name_size - 1] = '\0';
      } else if (xmlStrcmp(c->name, x(holder_name)) == 0) {
        n = floor_read_ints(c, out, max);
      }
    }
  }
  xmlFreeDoc(d);
  return n;
}

// ---- writing

void Lib_WriteCall_PowerUp(benchmark::State &state) {
  kivrel_datalist *args = int_list(kValues + 3, 1);
  for (auto _ : state) {
    char *doc;
    int len;
    kivrel_xml_serialize_method_call("PowerUp", args, &doc, &len);
    benchmark::DoNotOptimize(doc);
    kivrel_xml_free(doc);
  }
  kivrel_datalist_destroy(args);
}
BENCHMARK(Lib_WriteCall_PowerUp);

void Floor_WriteCall_PowerUp(benchmark::State &state) {
  for (auto _ : state) {
    xmlChar *doc;
    int len;
    floor_write("method_call", "PowerUp", "method_datalist_arg", kValues + 3, 1, &doc, &len);
    benchmark::DoNotOptimize(doc);
    xmlFree(doc);
  }
}
BENCHMARK(Floor_WriteCall_PowerUp);

void Lib_WriteResponse_16Ints(benchmark::State &state) {
  kivrel_datalist *ret = int_list(kValues, 16);
  for (auto _ : state) {
    char *doc;
    int len;
    kivrel_xml_serialize_method_response(ret, &doc, &len);
    benchmark::DoNotOptimize(doc);
    kivrel_xml_free(doc);
  }
  kivrel_datalist_destroy(ret);
}
BENCHMARK(Lib_WriteResponse_16Ints);

void Floor_WriteResponse_16Ints(benchmark::State &state) {
  for (auto _ : state) {
    xmlChar *doc;
    int len;
    floor_write("method_response", nullptr, "method_datalist_ret", kValues, 16, &doc, &len);
    benchmark::DoNotOptimize(doc);
    xmlFree(doc);
  }
}
BENCHMARK(Floor_WriteResponse_16Ints);

// ---- reading

void Lib_ReadCall_PowerUp(benchmark::State &state) {
  char *doc;
  int len;
  kivrel_datalist *args = int_list(kValues + 3, 1);
  kivrel_xml_serialize_method_call("PowerUp", args, &doc, &len);
  kivrel_datalist_destroy(args);
  for (auto _ : state) {
    char *name;
    kivrel_datalist *list;
    kivrel_xml_deserialize_method_call(&name, &list, doc);
    benchmark::DoNotOptimize(list);
    kivrel_mem_free(name);
    kivrel_datalist_destroy(list);
  }
  kivrel_xml_free(doc);
}
BENCHMARK(Lib_ReadCall_PowerUp);

void Floor_ReadCall_PowerUp(benchmark::State &state) {
  xmlChar *doc;
  int len;
  floor_write("method_call", "PowerUp", "method_datalist_arg", kValues + 3, 1, &doc, &len);
  const char *text = reinterpret_cast<const char *>(doc);
  for (auto _ : state) {
    char name[64];
    int32_t value;
    int n = floor_read(text, static_cast<int>(std::strlen(text)), "method_call",
                       "method_datalist_arg", name, sizeof name, &value, 1);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(value);
  }
  xmlFree(doc);
}
BENCHMARK(Floor_ReadCall_PowerUp);

void Lib_ReadResponse_16Ints(benchmark::State &state) {
  char *doc;
  int len;
  kivrel_datalist *ret = int_list(kValues, 16);
  kivrel_xml_serialize_method_response(ret, &doc, &len);
  kivrel_datalist_destroy(ret);
  for (auto _ : state) {
    kivrel_datalist *list;
    kivrel_xml_deserialize_method_response(&list, doc);
    benchmark::DoNotOptimize(list);
    kivrel_datalist_destroy(list);
  }
  kivrel_xml_free(doc);
}
BENCHMARK(Lib_ReadResponse_16Ints);

void Floor_ReadResponse_16Ints(benchmark::State &state) {
  xmlChar *doc;
  int len;
  floor_write("method_response", nullptr, "method_datalist_ret", kValues, 16, &doc, &len);
  const char *text = reinterpret_cast<const char *>(doc);
  for (auto _ : state) {
    int32_t values[16];
    int n = floor_read(text, static_cast<int>(std::strlen(text)), "method_response",
                       "method_datalist_ret", nullptr, 0, values, 16);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(values);
  }
  xmlFree(doc);
}
BENCHMARK(Floor_ReadResponse_16Ints);

// ---- the sixteen-integer signature: build, and decompose

void Lib_Build_16Ints(benchmark::State &state) {
  const int32_t *v = kValues;
  for (auto _ : state) {
    kivrel_datalist *list =
        kivrel_build_root_datalist(kSixteen, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8],
                                   v[9], v[10], v[11], v[12], v[13], v[14], v[15]);
    benchmark::DoNotOptimize(list);
    kivrel_datalist_destroy(list);
  }
}
BENCHMARK(Lib_Build_16Ints);

void Lib_Decompose_16Ints(benchmark::State &state) {
  kivrel_datalist *list = int_list(kValues, 16);
  int32_t o[16];
  for (auto _ : state) {
    int rc = kivrel_decompose_root_datalist(list, kSixteen, &o[0], &o[1], &o[2], &o[3], &o[4],
                                            &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11],
                                            &o[12], &o[13], &o[14], &o[15]);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(o);
  }
  kivrel_datalist_destroy(list);
}
BENCHMARK(Lib_Decompose_16Ints);

} // namespace

BENCHMARK_MAIN();
