// Values as XML element trees and the call and response documents. The
// documents the readers get are written out byte by byte here; what the
// writers produce is compared against such texts. Every document written or
// read here also goes through the libxml2 codec alone, which must agree
// with the public functions (the direct codec first). Failure paths are
// checked for leaks by the sanitizer and valgrind runs of this file.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "example_documents.h"
#include "kivrel.hpp"
#include "xmlcodec.h"

namespace {

// ---- values built with the record API

using kivrel::List;

struct NodeDeleter {
  void operator()(xmlNode *n) const { xmlFreeNode(n); }
};
using Node = std::unique_ptr<xmlNode, NodeDeleter>;

kivrel_data *int_value(int32_t n) {
  kivrel_data *v = kivrel_data_create();
  kivrel_data_int_link(v, kivrel_data_int_create(n));
  return v;
}

kivrel_data *string_value(const char *s) {
  kivrel_data *v = kivrel_data_create();
  kivrel_data_string_link(v, kivrel_data_string_create(s));
  return v;
}

kivrel_data *list_value(kivrel_datalist *l) {
  kivrel_data *v = kivrel_data_create();
  kivrel_data_datalist_link(v, l);
  return v;
}

kivrel_data *memblock_value() {
  kivrel_data *v = kivrel_data_create();
  kivrel_data_memblk_int8 *block = kivrel_data_memblk_int8_create(2);
  kivrel_data_memblk_int8_memset(block, 0x41, 2);
  kivrel_data_memblk_int8_link(v, block);
  return v;
}

kivrel_datalist *list_of(std::initializer_list<kivrel_data *> values) {
  kivrel_datalist *l = kivrel_datalist_create();
  for (kivrel_data *v : values)
    kivrel_datalist_ins_next(l, kivrel_datalist_get_tail(l), v);
  return l;
}

// A list holding a list holding ... `depth` lists in all, the innermost
// holding the integer 1.
kivrel_datalist *nested_list(int depth) {
  kivrel_datalist *l = list_of({int_value(1)});
  for (int i = 1; i < depth; ++i)
    l = list_of({list_value(l)});
  return l;
}

// A readable rendering of a list: [1,"abc",[7]], ? for an untyped value.
std::string describe(const kivrel_datalist *list);
std::string describe(const kivrel_data *v) {
  if (v->datatype == nullptr) return "?";
  std::string type = v->datatype;
  if (type == "int") return std::to_string(*static_cast<kivrel_data_int *>(v->data));
  if (type == "string")
    return "\"" +
           std::string(kivrel_data_string_get_string(static_cast<kivrel_data_string *>(v->data))) +
           "\"";
  if (type == "datalist") return describe(static_cast<kivrel_datalist *>(v->data));
  return "<" + type + ">";
}
std::string describe(const kivrel_datalist *list) {
  if (list == nullptr) return "null";
  std::string s = "[";
  for (const kivrel_data *v = list->head; v != nullptr; v = v->next)
    s += (v == list->head ? "" : ",") + describe(v);
  return s + "]";
}

// ---- documents

// A serialized document, released on scope exit.
struct Written {
  int rc = -2;
  char *text = nullptr;
  int len = -1;
  ~Written() { kivrel_xml_free(text); }
  std::string str() const { return text == nullptr ? "" : std::string(text, len); }
};

void expect_same(const Written &out, const Written &alone) {
  EXPECT_EQ(out.rc, alone.rc);
  EXPECT_EQ(out.len, alone.len);
  EXPECT_EQ(out.str(), alone.str());
}

void write_call(Written &out, const char *name, const kivrel_datalist *args) {
  out.rc = kivrel_xml_serialize_method_call(name, args, &out.text, &out.len);
  Written alone;
  alone.rc = kivrel::libxml2_write_call(name, args, &alone.text, &alone.len);
  expect_same(out, alone);
}

void write_response(Written &out, const kivrel_datalist *ret) {
  out.rc = kivrel_xml_serialize_method_response(ret, &out.text, &out.len);
  Written alone;
  alone.rc = kivrel::libxml2_write_response(ret, &alone.text, &alone.len);
  expect_same(out, alone);
}

// Outputs start out as junk so that a reader that does not null them on
// failure is seen (and the junk is not released).
char *const kJunkName = reinterpret_cast<char *>(0x1);
kivrel_datalist *const kJunkList = reinterpret_cast<kivrel_datalist *>(0x1);

struct ReadCall {
  int rc = -2;
  char *name = kJunkName;
  kivrel_datalist *args = kJunkList;
  explicit ReadCall(const std::string &doc) {
    rc = kivrel_xml_deserialize_method_call(&name, &args, doc.c_str());
    char *alone_name = nullptr;
    kivrel_datalist *alone_args = nullptr;
    int alone_rc = kivrel::libxml2_read_call(&alone_name, &alone_args, doc.c_str());
    EXPECT_EQ(rc, alone_rc) << doc;
    EXPECT_EQ(name_str(), alone_name == nullptr ? "(null)" : alone_name) << doc;
    EXPECT_EQ(describe(args), describe(alone_args)) << doc;
    kivrel_mem_free(alone_name);
    kivrel_datalist_destroy(alone_args);
  }
  ~ReadCall() {
    if (name != kJunkName) kivrel_mem_free(name);
    if (args != kJunkList) kivrel_datalist_destroy(args);
  }
  std::string name_str() const { return name == nullptr ? "(null)" : name; }
};

struct ReadResponse {
  int rc = -2;
  kivrel_datalist *ret = kJunkList;
  explicit ReadResponse(const std::string &doc) {
    rc = kivrel_xml_deserialize_method_response(&ret, doc.c_str());
    kivrel_datalist *alone = nullptr;
    EXPECT_EQ(rc, kivrel::libxml2_read_response(&alone, doc.c_str())) << doc;
    EXPECT_EQ(describe(ret), describe(alone)) << doc;
    kivrel_datalist_destroy(alone);
  }
  ~ReadResponse() {
    if (ret != kJunkList) kivrel_datalist_destroy(ret);
  }
};

constexpr char kDecl[] = "<?xml version=\"1.0\"?>\n";

// A response whose result list holds the given <data> elements.
std::string response_with(const std::string &data) {
  return std::string(kDecl) + "<method_response><method_datalist_ret><datalist>" + data +
         "</datalist></method_datalist_ret></method_response>";
}

std::string read_back(const std::string &data) {
  ReadResponse r(response_with(data));
  return r.rc == 0 ? describe(r.ret) : "refused";
}

// Renders an element tree as name(children) with texts in quotes.
std::string tree(const xmlNode *n) {
  if (n->type == XML_TEXT_NODE)
    return "'" + std::string(reinterpret_cast<const char *>(n->content)) + "'";
  std::string s = reinterpret_cast<const char *>(n->name);
  s += "(";
  for (const xmlNode *c = n->children; c != nullptr; c = c->next)
    s += (c == n->children ? "" : ",") + tree(c);
  return s + ")";
}

xmlNode *element(const char *name, std::initializer_list<xmlNode *> children = {}) {
  xmlNode *e = xmlNewNode(nullptr, BAD_CAST name);
  for (xmlNode *c : children)
    xmlAddChild(e, c);
  return e;
}

xmlNode *text(const char *t) { return xmlNewText(BAD_CAST t); }

// The element tree of `depth` nested lists, built with libxml2 alone.
xmlNode *nested_tree(int depth) {
  xmlNode *list = element("datalist", {element("data", {element("int", {text("1")})})});
  for (int i = 1; i < depth; ++i)
    list = element("datalist", {element("data", {list})});
  return list;
}

// Everything written to file descriptor 2 while it lives.
class StderrCapture {
public:
  StderrCapture() : file_(std::tmpfile()) {
    std::fflush(stderr);
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::string s;
    std::rewind(file_);
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
      s.append(buf, n);
    return s;
  }

private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::FILE *file_;
  int saved_ = -1;
};

// Peak resident memory since the last reset_peak(), in KiB; -1 when the
// system does not let a process reset its peak.
bool reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}
long status_kib(const char *field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return -1;
}

// A call whose prolog is `prolog` and whose single string argument is
// `text`, written as markup.
std::string call_with(const std::string &prolog, const std::string &name, const std::string &text) {
  return std::string(kDecl) + prolog + "<method_call><method_name>" + name +
         "</method_name><method_datalist_arg><datalist><data><string>" + text +
         "</string></data></datalist></method_datalist_arg></method_call>\n";
}

int error_reports = 0;
void count_report(void *, const char *, ...) { ++error_reports; }

// ---- documents written

TEST(XmlDocuments, WritesTheExampleDocumentsByteForByte) {
  List one(list_of({int_value(1)}));
  List two(list_of({int_value(120), int_value(-45)}));
  Written docs[4];
  write_call(docs[0], "PowerUp", one.get());
  write_response(docs[1], two.get());
  write_call(docs[2], "ReadBumperArray", nullptr);
  write_response(docs[3], nullptr);
  const char *expected[] = {kExample1, kExample2, kCallWithoutArgs, kResponseWithoutResult};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(docs[i].rc, 0) << expected[i];
    EXPECT_EQ(docs[i].str(), expected[i]);
    EXPECT_EQ(std::strlen(docs[i].text), std::strlen(expected[i])) << "no zero byte inside";
  }
}

TEST(XmlDocuments, WritesStringsAndNestedListsEscapedAndIndented) {
  List list(list_of({string_value(" a<b>&c\r "), string_value(""), int_value(INT32_MIN),
                     list_value(list_of({int_value(INT32_MAX)}))}));
  Written w;
  write_response(w, list.get());
  ASSERT_EQ(w.rc, 0);
  EXPECT_EQ(w.str(), "<?xml version=\"1.0\"?>\n"
                     "<method_response>\n"
                     "  <method_datalist_ret>\n"
                     "    <datalist>\n"
                     "      <data>\n"
                     "        <string> a&lt;b&gt;&amp;c&#xD; </string>\n"
                     "      </data>\n"
                     "      <data>\n"
                     "        <string></string>\n"
                     "      </data>\n"
                     "      <data>\n"
                     "        <int>-2147483648</int>\n"
                     "      </data>\n"
                     "      <data>\n"
                     "        <datalist>\n"
                     "          <data>\n"
                     "            <int>2147483647</int>\n"
                     "          </data>\n"
                     "        </datalist>\n"
                     "      </data>\n"
                     "    </datalist>\n"
                     "  </method_datalist_ret>\n"
                     "</method_response>\n");
}

TEST(XmlDocuments, WritersRefuseWhatTheyCannotEncodeAndHandOutNothing) {
  List empty(kivrel_datalist_create());
  List nested_empty(list_of({int_value(1), list_value(kivrel_datalist_create())}));
  List memblock(list_of({memblock_value()}));
  List nested_memblock(list_of({string_value("x"), list_value(list_of({memblock_value()}))}));
  List untyped(list_of({int_value(1), kivrel_data_create()}));
  List bad_string(list_of({string_value("ok"), string_value("bad\xC0\x80")}));
  for (const kivrel_datalist *l : {empty.get(), nested_empty.get(), memblock.get(),
                                   nested_memblock.get(), untyped.get(), bad_string.get()}) {
    Written call;
    write_call(call, "Method", l);
    EXPECT_EQ(call.rc, -1) << describe(l);
    EXPECT_EQ(call.text, nullptr);
    EXPECT_EQ(call.len, 0);
    Written response;
    write_response(response, l);
    EXPECT_EQ(response.rc, -1) << describe(l);
    EXPECT_EQ(response.text, nullptr);
    EXPECT_EQ(response.len, 0);
  }

  // A name libxml2 could not write unchanged would call another method.
  for (const char *name : {static_cast<const char *>(nullptr), "Power\xFFUp", "Power\x01Up"}) {
    Written call;
    write_call(call, name, nullptr);
    EXPECT_EQ(call.rc, -1);
    EXPECT_EQ(call.text, nullptr);
  }
}

TEST(XmlDocuments, MethodNameIsWrittenAsMarkupWithReferencesResolved) {
  Written w;
  write_call(w, "A&amp;B&#67;", nullptr);
  ASSERT_EQ(w.rc, 0);
  EXPECT_EQ(w.str(), std::string(kDecl) + "<method_call>\n"
                                          "  <method_name>A&amp;BC</method_name>\n"
                                          "  <method_datalist_arg/>\n"
                                          "</method_call>\n");

  // A bare ampersand begins no reference: the element stays empty, so the
  // document names no method and no service would take it.
  Written bare;
  write_call(bare, "A&B", nullptr);
  ASSERT_EQ(bare.rc, 0);
  ReadCall r(bare.str());
  EXPECT_EQ(r.rc, -1);
}

// ---- documents read

TEST(XmlDocuments, ReadsTheExampleDocuments) {
  ReadCall call(kExample1);
  ASSERT_EQ(call.rc, 0);
  EXPECT_EQ(call.name_str(), "PowerUp");
  EXPECT_EQ(describe(call.args), "[1]");

  ReadResponse response(kExample2);
  ASSERT_EQ(response.rc, 0);
  EXPECT_EQ(describe(response.ret), "[120,-45]");

  ReadCall bare_call(kCallWithoutArgs);
  ASSERT_EQ(bare_call.rc, 0);
  EXPECT_EQ(bare_call.name_str(), "ReadBumperArray");
  EXPECT_EQ(bare_call.args, nullptr);

  for (const char *doc : {kResponseWithoutResult, "<method_response/>",
                          "<method_response><other><datalist/></other></method_response>"}) {
    ReadResponse r(doc);
    EXPECT_EQ(r.rc, 0) << doc;
    EXPECT_EQ(r.ret, nullptr) << doc;
  }
}

TEST(XmlDocuments, CallReaderTakesElementsInAnyOrderAndTheLastOfEach) {
  struct Case {
    const char *doc;
    const char *name;
    const char *args;
  } cases[] = {
      {"<method_call><method_datalist_arg><datalist><data><int>3</int></data></datalist>"
       "</method_datalist_arg><!-- note --><extra>x</extra><method_name>Later</method_name>"
       "</method_call>",
       "Later", "[3]"},
      {"<method_call><method_name>First</method_name><method_name>Second</method_name>"
       "</method_call>",
       "Second", "null"},
      // A name without text names nothing and replaces nothing.
      {"<method_call><method_name>First</method_name><method_name><met/>x</method_name>"
       "<method_name/></method_call>",
       "First", "null"},
      {"<method_call><method_name>N</method_name>"
       "<method_datalist_arg><datalist><data><int>1</int></data></datalist></method_datalist_arg>"
       "<method_datalist_arg><datalist><data><int>2</int></data></datalist></method_datalist_arg>"
       "<method_datalist_arg/><method_datalist_arg> <x/> </method_datalist_arg>"
       "</method_call>",
       "N", "[2]"},
      // Only the first datalist in the holder counts; other elements before it are passed over.
      {"<method_call><method_name>N</method_name><method_datalist_arg>\n  <other/>"
       "<datalist><data><string>a</string></data></datalist><datalist><bogus/></datalist>"
       "</method_datalist_arg></method_call>",
       "N", "[\"a\"]"},
      {"<method_call><method_name>N</method_name><method_datalist_arg>\n   \n"
       "</method_datalist_arg></method_call>",
       "N", "null"},
      {"<method_call><method_name>N</method_name><method_datalist_arg><other>"
       "<datalist><data><int>1</int></data></datalist></other></method_datalist_arg>"
       "</method_call>",
       "N", "null"},
      {"<method_call><method_name> a&amp;b&#x41;&lt; </method_name></method_call>", " a&bA< ",
       "null"},
      {"<method_call><method_name>N</method_name><method_datalist_arg><datalist/>"
       "</method_datalist_arg></method_call>",
       "N", "[]"},
  };
  for (const Case &c : cases) {
    ReadCall r(c.doc);
    ASSERT_EQ(r.rc, 0) << c.doc;
    EXPECT_EQ(r.name_str(), c.name) << c.doc;
    EXPECT_EQ(describe(r.args), c.args) << c.doc;
  }
}

TEST(XmlDocuments, ResponseReaderUsesOnlyTheFirstResultHolder) {
  struct Case {
    const char *doc;
    int rc;
    const char *ret;
  } cases[] = {
      {"<method_response><method_datalist_ret/><method_datalist_ret><datalist><data><int>1</int>"
       "</data></datalist></method_datalist_ret></method_response>",
       0, "null"},
      {"<method_response><other/><method_datalist_ret><datalist><data><int>1</int></data>"
       "</datalist></method_datalist_ret><method_datalist_ret><datalist><bogus/></datalist>"
       "</method_datalist_ret></method_response>",
       0, "[1]"},
      {"<method_response><method_datalist_ret><datalist><bogus/></datalist></method_datalist_ret>"
       "<method_datalist_ret><datalist><data><int>1</int></data></datalist>"
       "</method_datalist_ret></method_response>",
       -1, "null"},
      {"<method_response><method_datalist_ret> <!-- c --> </method_datalist_ret></method_response>",
       0, "null"},
  };
  for (const Case &c : cases) {
    ReadResponse r(c.doc);
    EXPECT_EQ(r.rc, c.rc) << c.doc;
    EXPECT_EQ(describe(r.ret), c.ret) << c.doc;
  }
}

TEST(XmlDocuments, ReadersRefuseForeignAndBrokenDocumentsWithOutputsNull) {
  const std::string example1 = kExample1;
  const std::string call_docs[] = {
      "",
      "PowerUp",
      "<method_call>",
      example1.substr(0, example1.size() / 2),
      example1.substr(0, example1.size() - 4),
      kExample2,
      "<method_call/>",
      "<method_call><method_name/></method_call>",
      "<method_call><method_name><empty/>text after</method_name></method_call>",
      "<method_call><method_name><!----></method_name></method_call>",
      "<method_call><method_name></method_name><method_datalist_arg/></method_call>",
      "<method_call><method_datalist_arg><datalist><data><int>1</int></data></datalist>"
      "</method_datalist_arg></method_call>",
      "<method_call><method_name>N</method_name></method_call><method_call/>",
      "<Method_Call><method_name>N</method_name></Method_Call>",
      // A name is found first; the list that fails after it must not leak it.
      "<method_call><method_name>N</method_name><method_datalist_arg><datalist><item/>"
      "</datalist></method_datalist_arg></method_call>",
      "<method_call><method_name>N</method_name><method_datalist_arg><datalist><data><int>1"
      "</int></data><data><float>1</float></data></datalist></method_datalist_arg></method_call>",
  };
  for (const std::string &doc : call_docs) {
    ReadCall r(doc);
    EXPECT_EQ(r.rc, -1) << doc;
    EXPECT_EQ(r.name, nullptr) << doc;
    EXPECT_EQ(r.args, nullptr) << doc;
  }

  const std::string response_docs[] = {
      "",
      "<method_response>",
      kExample1,
      "<method_response></method_call>",
      response_with("<data><int>1</int></data><data><int>x</int></data>"),
      response_with("<data><int>1</int></data><datum/>"),
  };
  for (const std::string &doc : response_docs) {
    ReadResponse r(doc);
    EXPECT_EQ(r.rc, -1) << doc;
    EXPECT_EQ(r.ret, nullptr) << doc;
  }

  char *name = reinterpret_cast<char *>(0x1);
  kivrel_datalist *list = reinterpret_cast<kivrel_datalist *>(0x1);
  EXPECT_EQ(kivrel_xml_deserialize_method_call(&name, &list, nullptr), -1);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(list, nullptr);
  list = reinterpret_cast<kivrel_datalist *>(0x1);
  EXPECT_EQ(kivrel_xml_deserialize_method_response(&list, nullptr), -1);
  EXPECT_EQ(list, nullptr);
}

// Documents come from the network: nothing a DOCTYPE could bring is taken,
// whatever the DOCTYPE says, while CDATA, comments, processing instructions
// and character references read as before.
TEST(XmlDocuments, ReadersRefuseDoctypesAndEntitiesButKeepCdataAndComments) {
  char path[] = "/tmp/kivrel-entity-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "PowerUp", 7), 7);
  close(fd);
  const std::string file = std::string("file://") + path;
  const std::string sub = "<!DOCTYPE method_call [";
  const std::string refused[] = {
      call_with(sub + "<!ENTITY e \"x\">]>", "N", "&e;"),
      call_with(sub + "<!ENTITY e \"x\">]>", "N", "plain"), // declared, never used
      call_with(sub + "<!ENTITY n \"PowerUp\">]>", "&n;", "x"),
      call_with(sub + "<!ENTITY n SYSTEM \"" + file + "\">]>", "&n;", "x"),
      call_with("<!DOCTYPE method_call SYSTEM \"" + file + "\">", "N", "x"),
      call_with("<!DOCTYPE method_call PUBLIC \"-//K//X//EN\" \"" + file + "\">", "N", "x"),
      call_with("<!DOCTYPE method_call>", "N", "x"),
      call_with(sub + "<!ENTITY % p \"<!ENTITY e 'x'>\"> %p;]>", "N", "&e;"),
      call_with(sub + "<!ENTITY % p SYSTEM \"" + file + "\"> %p;]>", "N", "x"),
      call_with(sub + "<!ENTITY a \"1\"><!ENTITY b \"&a;&a;\"><!ENTITY c \"&b;&b;\">]>", "N",
                "&c;"),
      call_with(sub + "<!ATTLIST string a CDATA \"d\">]>", "N", "x"),
      call_with(sub + "<!ELEMENT method_call ANY>]>", "N", "x"),
      call_with("", "N", "&e;"), // never declared
      call_with("", "&n;", "x"),
      call_with("", "N", "&amp"), // a reference cut short
  };
  for (const std::string &doc : refused) {
    ReadCall r(doc);
    EXPECT_EQ(r.rc, -1) << doc;
    EXPECT_EQ(r.name, nullptr) << doc;
    EXPECT_EQ(r.args, nullptr) << doc;
  }
  const std::string refused_responses[] = {
      std::string(kDecl) + "<!DOCTYPE method_response [<!ENTITY e \"7\">]>" +
          "<method_response><method_datalist_ret><datalist><data><int>&e;</int></data>"
          "</datalist></method_datalist_ret></method_response>\n",
      std::string(kDecl) + "<!DOCTYPE method_response SYSTEM \"" + file +
          "\"><method_response><method_datalist_ret/></method_response>\n",
      response_with("<data><string>&e;</string></data>"),
  };
  for (const std::string &doc : refused_responses) {
    ReadResponse r(doc);
    EXPECT_EQ(r.rc, -1) << doc;
    EXPECT_EQ(r.ret, nullptr) << doc;
  }
  unlink(path);

  struct Accepted {
    std::string doc, name, args;
  };
  const Accepted accepted[] = {
      {call_with("", "Power&#85;p", "&lt;&gt;&amp;&quot;&apos;&#x41;&#66;"), "PowerUp",
       "[\"<>&\"'AB\"]"},
      {call_with("", "N", "<![CDATA[a<b>&e;]]>"), "N", "[\"a<b>&e;\"]"},
      {call_with("<!-- a comment --><?pi data?>", "N", "x"), "N", "[\"x\"]"},
      {std::string(kDecl) + "<method_call><!-- c --><method_name>N</method_name><?pi?>"
                            "<method_datalist_arg><datalist><!-- c --><data><int>5</int></data>"
                            "</datalist></method_datalist_arg></method_call>",
       "N", "[5]"},
  };
  for (const Accepted &a : accepted) {
    ReadCall r(a.doc);
    ASSERT_EQ(r.rc, 0) << a.doc;
    EXPECT_EQ(r.name_str(), a.name);
    EXPECT_EQ(describe(r.args), a.args);
  }
  ReadResponse cdata(response_with("<data><string><![CDATA[two & <three>]]></string></data>"));
  ASSERT_EQ(cdata.rc, 0);
  EXPECT_EQ(describe(cdata.ret), "[\"two & <three>\"]");
}

// An entity of 30 000 characters referred to 3000 times would make 90 MB
// of text; the document itself is about 130 KB. (A chain of entities that
// multiply each other libxml2 stops by itself; a long flat one it does not.)
TEST(XmlDocuments, EntityAmplificationIsRefusedWithoutGrowingMemory) {
  std::string values;
  for (int i = 0; i < 3000; ++i)
    values += "<data><string>&e;</string></data>";
  const std::string doc =
      std::string(kDecl) + "<!DOCTYPE method_call [<!ENTITY e \"" + std::string(30000, 'x') +
      "\">]><method_call><method_name>N</method_name>" + "<method_datalist_arg><datalist>" +
      values + "</datalist></method_datalist_arg></method_call>\n";
  ASSERT_LT(doc.size(), 200u * 1024);

  const bool measured = reset_peak();
  const long before = status_kib("VmRSS:");
  ReadCall r(doc);
  const long peak = status_kib("VmHWM:");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.args, nullptr);
  if (!measured || before < 0 || peak < 0) GTEST_SKIP() << "peak memory cannot be measured here";
  EXPECT_LT(peak - before, 8 * 1024) << "KiB of peak growth";
}

TEST(XmlDocuments, DocumentsNestedTooDeepAreRefused) {
  auto call_nested = [](int lists) {
    std::string open, close;
    for (int i = 0; i < lists; ++i) {
      open += "<datalist><data>";
      close += "</data></datalist>";
    }
    return "<method_call><method_name>N</method_name><method_datalist_arg>" + open +
           "<int>5</int>" + close + "</method_datalist_arg></method_call>";
  };
  ReadCall fine(call_nested(100));
  ASSERT_EQ(fine.rc, 0);
  int depth = 0;
  for (const kivrel_datalist *l = fine.args; l != nullptr; ++depth)
    l = std::string(l->head->datatype) == "datalist" ? static_cast<kivrel_datalist *>(l->head->data)
                                                     : nullptr;
  EXPECT_EQ(depth, 100);

  ReadCall deep(call_nested(KIVREL_MAX_DEPTH));
  EXPECT_EQ(deep.rc, -1);
  EXPECT_EQ(deep.args, nullptr);
  ReadCall very_deep(call_nested(100000));
  EXPECT_EQ(very_deep.rc, -1);
}

// Whatever the writer puts out, the reader takes back: a list as deep as a
// document can carry round-trips, one level more is not written at all.
TEST(XmlDocuments, WritersRefuseListsTooDeepForADocument) {
  static_assert(KIVREL_MAX_DOCUMENT_LIST_DEPTH == 127);
  for (int depth : {KIVREL_MAX_DOCUMENT_LIST_DEPTH, KIVREL_MAX_DOCUMENT_LIST_DEPTH + 1}) {
    SCOPED_TRACE(depth);
    List list(nested_list(depth));
    char *call = nullptr, *response = nullptr;
    int len = 0;
    int written = kivrel_xml_serialize_method_call("N", list.get(), &call, &len);
    int answered = kivrel_xml_serialize_method_response(list.get(), &response, &len);
    if (depth == KIVREL_MAX_DOCUMENT_LIST_DEPTH) {
      ASSERT_EQ(written, 0);
      ASSERT_EQ(answered, 0);
      kivrel_datalist *back = nullptr;
      EXPECT_EQ(kivrel_xml_deserialize_method_response(&back, response), 0);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(describe(back), describe(list.get()));
      kivrel_datalist_destroy(back);
    } else {
      EXPECT_EQ(written, -1);
      EXPECT_EQ(answered, -1);
      EXPECT_EQ(call, nullptr);
      EXPECT_EQ(response, nullptr);
    }
    kivrel_xml_free(call);
    kivrel_xml_free(response);
  }
}

TEST(XmlDocuments, LibraryPrintsNothingAndLeavesTheCallersErrorHandlerInPlace) {
  int marker = 0;
  error_reports = 0;
  xmlSetGenericErrorFunc(&marker, count_report);
  const xmlGenericErrorFunc installed = xmlGenericError;
  {
    StderrCapture capture;
    // libxml2 reports failed encoding conversions whatever the parse options.
    ReadCall cp1252("<?xml version=\"1.0\" encoding=\"WINDOWS-1252\"?><method_call>"
                    "<method_name>\x81\x8d</method_name></method_call>");
    EXPECT_EQ(cp1252.rc, -1);
    ReadResponse sjis("<?xml version=\"1.0\" encoding=\"SHIFT_JIS\"?><method_response>\x81\x20\xfc"
                      "</method_response>");
    EXPECT_EQ(sjis.rc, -1);
    ReadCall broken("<method_call><method_name>N</method_call>");
    EXPECT_EQ(broken.rc, -1);
    Written bad_reference;
    write_call(bad_reference, "A&B", nullptr);
    Written bad_text;
    List list(list_of({string_value("\xEF\xBF\xBE")}));
    write_response(bad_text, list.get());
    EXPECT_EQ(bad_text.rc, -1);
    std::fflush(stdout);
    EXPECT_EQ(capture.text(), "");
  }
  EXPECT_EQ(error_reports, 0);
  EXPECT_EQ(xmlGenericError, installed);
  EXPECT_EQ(xmlGenericErrorContext, &marker);
  xmlSetGenericErrorFunc(nullptr, nullptr);
}

TEST(XmlDocuments, DocumentsAreWrittenAndReadOnSeveralThreadsAtOnce) {
  ASSERT_EQ(kivrel_initialize(), 0);
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &good] {
      List list(list_of({int_value(t), string_value("thread")}));
      const std::string expected = "[" + std::to_string(t) + ",\"thread\"]";
      for (int i = 0; i < kRounds; ++i) {
        Written w;
        write_response(w, list.get());
        ReadResponse r(w.str());
        // A refusal in between: each thread mutes and restores its own
        // error channel.
        ReadCall refused("<method_call><method_name>N</method_name>");
        if (w.rc == 0 && r.rc == 0 && describe(r.ret) == expected && refused.rc == -1) ++good[t];
      }
    });
  for (std::thread &th : threads)
    th.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(good[t], kRounds) << "thread " << t;
}

// ---- the two codecs

// A document of `elements` nested elements in all: the root, the holder and
// `datalist`/`data` pairs, closed by an empty `datalist` or `data`.
std::string nested_response(int elements) {
  std::string open, close;
  int open_elements = 2;
  for (; open_elements + 2 < elements; open_elements += 2) {
    open += "<datalist><data>";
    close += "</data></datalist>";
  }
  const char *innermost =
      open_elements + 1 == elements ? "<datalist/>" : "<datalist><data/></datalist>";
  return "<method_response><method_datalist_ret>" + open + innermost + close +
         "</method_datalist_ret></method_response>";
}

kivrel::Direct direct_read(const std::string &doc) {
  kivrel_datalist *ret = nullptr;
  kivrel::Direct d = kivrel::direct_read_response(&ret, doc.c_str());
  kivrel_datalist_destroy(ret);
  return d;
}

TEST(XmlCodecs, DirectCodecReadsWhatTheWritersPutOutWithoutLibxml2) {
  std::string long_text(3000, 'x');
  List lists[] = {
      List(list_of({int_value(1)})),
      List(list_of({int_value(INT32_MIN), int_value(INT32_MAX), int_value(0), int_value(-1)})),
      List(list_of({string_value("<a> & \"b\" 'c' ]]> \r\n\t"), string_value(""),
                    string_value("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9D\x84\x9E \x7F \xC2\x85"),
                    string_value(long_text.c_str())})),
      List(list_of({list_value(list_of({list_value(list_of({string_value("in")})), int_value(2)})),
                    int_value(3)})),
      List(nested_list(40)), // deeper than libxml2 indents
      List(nested_list(KIVREL_MAX_DOCUMENT_LIST_DEPTH)),
  };
  for (const List &list : lists) {
    SCOPED_TRACE(describe(list.get()).substr(0, 60));
    char *doc = nullptr;
    int len = 0;
    ASSERT_EQ(kivrel::direct_write_response(list.get(), &doc, &len), kivrel::Direct::kDone);
    Written alone;
    alone.rc = kivrel::libxml2_write_response(list.get(), &alone.text, &alone.len);
    ASSERT_EQ(alone.rc, 0);
    EXPECT_EQ(std::string(doc, len), alone.str());
    kivrel_datalist *back = nullptr;
    EXPECT_EQ(kivrel::direct_read_response(&back, doc), kivrel::Direct::kDone);
    EXPECT_EQ(describe(back), describe(list.get()));
    kivrel_datalist_destroy(back);
    kivrel_xml_free(doc);

    Written call;
    write_call(call, "Method_1", list.get());
    char *name = nullptr;
    kivrel_datalist *args = nullptr;
    EXPECT_EQ(kivrel::direct_read_call(&name, &args, call.text), kivrel::Direct::kDone);
    EXPECT_STREQ(name, "Method_1");
    EXPECT_EQ(describe(args), describe(list.get()));
    kivrel_mem_free(name);
    kivrel_datalist_destroy(args);
  }
  for (const char *doc : {kExample1, kCallWithoutArgs}) {
    char *name = nullptr;
    kivrel_datalist *args = nullptr;
    EXPECT_EQ(kivrel::direct_read_call(&name, &args, doc), kivrel::Direct::kDone);
    kivrel_mem_free(name);
    kivrel_datalist_destroy(args);
  }
  EXPECT_EQ(direct_read(kExample2), kivrel::Direct::kDone);
  EXPECT_EQ(direct_read(kResponseWithoutResult), kivrel::Direct::kDone);

  // Names the writers take as they are; one with a reference in it is
  // libxml2's to resolve.
  for (const char *name : {"", " spaced name ", "a<b>\"c\"", "caf\xC3\xA9\r\n"}) {
    Written w;
    write_call(w, name, nullptr);
    EXPECT_EQ(w.rc, 0) << name;
  }
  char *doc = nullptr;
  int len = 0;
  EXPECT_EQ(kivrel::direct_write_call("A&amp;B", nullptr, &doc, &len), kivrel::Direct::kPassed);
  EXPECT_EQ(doc, nullptr);
}

TEST(XmlCodecs, BothReadersAgreeOnUnusualDocuments) {
  const std::string decl = kDecl;
  const std::string call = "<method_call><method_name>N</method_name><method_datalist_arg>";
  const std::string end = "</method_datalist_arg></method_call>";
  auto int_call = [&](const std::string &text) {
    return call + "<datalist><data><int>" + text + "</int></data></datalist>" + end;
  };
  auto string_call = [&](const std::string &text) {
    return call + "<datalist><data><string>" + text + "</string></data></datalist>" + end;
  };
  struct Case {
    std::string doc;
    bool direct; // read without libxml2
  } cases[] = {
      // White space and forms the direct reader takes.
      {"\n\t <method_call >\r\n <method_name\t>N</method_name\n> </method_call >\n\n", true},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><method_call><method_name>N</method_name>"
       "</method_call>",
       true},
      {int_call(" 42 "), true},
      {int_call("\n\t+7"), true},
      {int_call("-0042abc"), true},
      {int_call("0x10"), true},
      {int_call("&#x34;2"), true},
      {int_call("4&#50;"), true},
      {int_call("2147483648"), true},
      {int_call(""), true},
      {int_call("   "), true},
      {string_call("a&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#x00043;&#x10FFFF;&#xD;&#9;"), true},
      {string_call("]] > ]>"), true},
      {string_call("caf\xC3\xA9 \x7F \xC2\x85 \xEF\xBF\xBD"), true},
      {string_call("  "), true},
      {call +
           "<datalist><data/><data> </data><data><string/></data><data><datalist/></data>"
           "<data><int>1</int><string>s</string></data></datalist>" +
           end,
       true},
      {"<method_call><method_datalist_arg><datalist><data><int>1</int></data></datalist>"
       "</method_datalist_arg><method_name/><method_name>A</method_name><method_name>B"
       "</method_name><method_datalist_arg/><method_datalist_arg> </method_datalist_arg>"
       "</method_call>",
       true},
      {"<method_call><method_name></method_name></method_call>", true},
      {"<method_call><method_name>N</method_name><method_datalist_arg><datalist><data><int>x"
       "</int></data></datalist></method_datalist_arg></method_call>",
       true},
      // What it leaves to libxml2.
      {decl + "<!-- c --><method_call><method_name>N</method_name></method_call>", false},
      {call + "<!-- c --><datalist><data><int>1</int></data></datalist>" + end, false},
      {string_call("<![CDATA[<raw> & ]]>"), false},
      {string_call("a<?pi x?>b"), false},
      {string_call("a]]>b"), false},
      {string_call("a\rb\r\nc"), false},
      {string_call("&#0;"), false},
      {string_call("&#xD800;"), false},
      {string_call("&#xFFFE;"), false},
      {string_call("&#X41;"), false},
      {string_call("&#x110000;"), false},
      {string_call("&#x000000000A;"), false},
      {string_call("&#x0000000041;"), false},
      {string_call("&#;"), false},
      {string_call("&nbsp;"), false},
      {string_call("a & b"), false},
      {string_call("\xC3"), false},
      {string_call("\xED\xA0\x80"), false},
      {string_call("\x01"), false},
      {int_call("1<b/>"), false},
      {"<?xml version='1.0'?><method_call><method_name>N</method_name></method_call>", false},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><method_call><method_name>caf\xE9"
       "</method_name></method_call>",
       false},
      {"<?xml version=\"1.0\" standalone=\"yes\"?><method_call><method_name>N</method_name>"
       "</method_call>",
       false},
      {" <?xml version=\"1.0\"?><method_call><method_name>N</method_name></method_call>", false},
      {"\xEF\xBB\xBF<method_call><method_name>N</method_name></method_call>", false},
      {"<!DOCTYPE method_call [<!ENTITY e \"Name\">]><method_call><method_name>&e;"
       "</method_name></method_call>",
       false},
      {"<method_call id=\"1\"><method_name>N</method_name></method_call>", false},
      {"<method_call xmlns=\"urn:x\"><method_name>N</method_name></method_call>", false},
      {"<x:method_call xmlns:x=\"urn:x\"><x:method_name>N</x:method_name></x:method_call>", false},
      {"<method_call><method_name>N</method_name><other/></method_call>", false},
      // Names as long as the document's own, but none of them.
      {"<method_calL><method_name>N</method_name></method_calL>", false},
      {"<method_calL/>", false},
      {"<method_call><method_namE>N</method_namE></method_call>", false},
      {"<method_call><method_name>N</method_name><method_datalist_arG/></method_call>", false},
      {"<method_call><method_name>N</method_name><method_datalist_ret/></method_call>", false},
      {"<method_responsE><method_name>N</method_name></method_responsE>", false},
      {call + "<datalisT><data><int>1</int></data></datalisT>" + end, false},
      {call + "<datalist><datA><int>1</int></datA></datalist>" + end, false},
      {call + "<datalist><data><inT>1</inT></data></datalist>" + end, false},
      {call + "<datalist><data><strinG>s</strinG></data></datalist>" + end, false},
      {call + "<datalisT/>" + end, false},
      {call + "<datalist><datA/></datalist>" + end, false},
      {call + "<datalist><data><inT/></data></datalist>" + end, false},
      {call + "<datalist><data><strinG/></data></datalist>" + end, false},
      {"<method_call><method_namE/><method_name>N</method_name></method_call>", false},
      {"<method_call><method_name>N</method_name></method_call><!-- after -->", false},
      {"<method_call><method_name>N</method_name></method_call>junk", false},
      {"<method_call><method_name>N</method_name></method_call><method_call/>", false},
      {"<method_call><method_name>N</method_name></method_calls>", false},
      {"<method_call><method_name>N</method_name>", false},
      {"<method_call><method_name>N<method_name>", false},
      {"<method_call><method_name>N</method_name>" + std::string(2 << 20, ' ') + "</method_call>",
       false},
      // Any size of document, but long texts go to libxml2 and its limit
      // of ten million bytes a text.
      {call + "<datalist>" +
           [] {
             std::string values;
             for (int i = 0; i < 10000; ++i)
               values += "<data><string>" + std::string(100, 'x') + "</string></data>";
             return values;
           }() +
           "</datalist>" + end,
       true},
      {string_call(std::string(2 << 20, 'x')), false},
      {string_call(std::string(10000001, 'x')), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.doc.substr(0, 200));
    ReadCall r(c.doc); // compares with libxml2 alone
    char *name = nullptr;
    kivrel_datalist *args = nullptr;
    kivrel::Direct d = kivrel::direct_read_call(&name, &args, c.doc.c_str());
    EXPECT_EQ(d != kivrel::Direct::kPassed, c.direct);
    kivrel_mem_free(name);
    kivrel_datalist_destroy(args);
  }

  // Response documents: only a first result holder counts.
  const std::string list = "<datalist><data><int>1</int></data></datalist>";
  const std::string responses[] = {
      "<method_response/>",
      "<method_response><method_datalist_ret/></method_response>",
      "<method_response><method_datalist_ret>" + list + "</method_datalist_ret></method_response>",
      "<method_response><method_datalist_ret/><method_datalist_ret>" + list +
          "</method_datalist_ret></method_response>",
      "<method_response><method_datalist_ret>" + list + list +
          "</method_datalist_ret></method_response>",
      "<method_response><method_datalist_ret><datalist><data><int>x</int></data></datalist>"
      "</method_datalist_ret><!-- c --></method_response>",
      "<method_response><method_datalist_ret><datalist/></method_datalist_ret></"
      "method_response>",
      "<method_response><method_datalist_ret> text " + list +
          "</method_datalist_ret></method_response>",
      "<method_responsE/>",
      "<method_response><method_datalist_arg>" + list + "</method_datalist_arg></method_response>",
      "<method_response><method_datalist_reT/></method_response>",
      "<method_response><method_datalist_reT><datalist><data><int>x</int></data></datalist>"
      "</method_datalist_reT></method_response>",
      "<method_response><method_datalist_ret><datalist><datA/></datalist></method_datalist_ret>"
      "</method_response>",
  };
  for (const std::string &doc : responses) {
    ReadResponse r(doc);
    (void)r;
  }
}

// libxml2's allocator, failing every call from the `fail_from`th on.
int allocations = 0;
int fail_from = -1;
bool allocation_allowed() { return fail_from < 0 || allocations++ < fail_from; }
void *counted_malloc(size_t n) { return allocation_allowed() ? std::malloc(n) : nullptr; }
void *counted_realloc(void *p, size_t n) {
  return allocation_allowed() ? std::realloc(p, n) : nullptr;
}
char *counted_strdup(const char *s) {
  return allocation_allowed() ? static_cast<char *>(std::memcpy(std::malloc(std::strlen(s) + 1), s,
                                                                std::strlen(s) + 1))
                              : nullptr;
}

TEST(XmlCodecs, DirectCodecReportsFailedAllocationsAndHandsOutNothing) {
  // Long enough that the document buffer and the text buffer both grow.
  const std::string long_text(5000, 'y');
  List list(list_of({int_value(1), string_value(long_text.c_str())}));
  char *expected = nullptr;
  int expected_len = 0;
  ASSERT_EQ(kivrel::direct_write_response(list.get(), &expected, &expected_len),
            kivrel::Direct::kDone);

  xmlFreeFunc saved_free;
  xmlMallocFunc saved_malloc;
  xmlReallocFunc saved_realloc;
  xmlStrdupFunc saved_strdup;
  ASSERT_EQ(xmlMemGet(&saved_free, &saved_malloc, &saved_realloc, &saved_strdup), 0);
  ASSERT_EQ(xmlMemSetup(std::free, counted_malloc, counted_realloc, counted_strdup), 0);
  int refused = 0;
  int fail_at = 0;
  for (; fail_at < 10; ++fail_at) {
    allocations = 0;
    fail_from = fail_at;
    char *doc = nullptr;
    int len = 0;
    kivrel::Direct written = kivrel::direct_write_response(list.get(), &doc, &len);
    kivrel_datalist *back = nullptr;
    kivrel::Direct read = kivrel::direct_read_response(&back, expected);
    fail_from = -1;
    if (written == kivrel::Direct::kDone) {
      EXPECT_EQ(std::string(doc, len), std::string(expected, expected_len));
      kivrel_xml_free(doc);
    } else {
      EXPECT_EQ(written, kivrel::Direct::kRefused);
      EXPECT_EQ(doc, nullptr);
      ++refused;
    }
    if (read == kivrel::Direct::kDone) {
      EXPECT_EQ(describe(back), describe(list.get()));
      kivrel_datalist_destroy(back);
    } else {
      EXPECT_EQ(read, kivrel::Direct::kRefused);
      EXPECT_EQ(back, nullptr);
      ++refused;
    }
    if (written == kivrel::Direct::kDone && read == kivrel::Direct::kDone) break;
  }
  xmlMemSetup(saved_free, saved_malloc, saved_realloc, saved_strdup);
  kivrel_xml_free(expected);
  EXPECT_GE(refused, 2);
  EXPECT_LT(fail_at, 10) << "both succeed once enough allocations succeed";
}

TEST(XmlCodecs, DocumentDepthLimitHoldsOnBothReaders) {
  static_assert(KIVREL_MAX_DOCUMENT_DEPTH == 257);
  ReadResponse deepest(nested_response(KIVREL_MAX_DOCUMENT_DEPTH));
  EXPECT_EQ(deepest.rc, 0);
  EXPECT_EQ(direct_read(nested_response(KIVREL_MAX_DOCUMENT_DEPTH)), kivrel::Direct::kDone);
  // The deepest list a document can hold: one more than the writers write,
  // when the innermost is empty.
  int lists = 0;
  for (const kivrel_datalist *l = deepest.ret; l != nullptr; ++lists)
    l = l->head != nullptr ? static_cast<kivrel_datalist *>(l->head->data) : nullptr;
  EXPECT_EQ(lists, KIVREL_MAX_DOCUMENT_LIST_DEPTH + 1);

  for (int elements : {KIVREL_MAX_DOCUMENT_DEPTH + 1, KIVREL_MAX_DOCUMENT_DEPTH + 2, 50000}) {
    ReadResponse r(nested_response(elements));
    EXPECT_EQ(r.rc, -1) << elements;
    EXPECT_EQ(direct_read(nested_response(elements)), kivrel::Direct::kRefused) << elements;
  }
}

// ---- values

TEST(XmlValues, NestedListTreeHasOneDataPerValueAndReadsBackEqual) {
  List list(list_of({int_value(1), string_value("abc"), list_value(list_of({int_value(7)}))}));
  Node node(kivrel_xmlnode_dump_datalist(list.get()));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->parent, nullptr);
  EXPECT_EQ(tree(node.get()),
            "datalist(data(int('1')),data(string('abc')),data(datalist(data(int('7')))))");

  List back(kivrel_xmlnode_load_datalist(node.get()));
  EXPECT_EQ(describe(back.get()), "[1,\"abc\",[7]]");
  EXPECT_EQ(tree(node.get()),
            "datalist(data(int('1')),data(string('abc')),data(datalist(data(int('7')))))")
      << "reading leaves the tree alone";

  kivrel_data_int n = -12;
  Node int_node(kivrel_xmlnode_dump_data_int(&n));
  EXPECT_EQ(tree(int_node.get()), "int('-12')");
  Node value_node(kivrel_xmlnode_dump_data(list->head->next));
  EXPECT_EQ(tree(value_node.get()), "data(string('abc'))");
  List empty(list_of({}));
  EXPECT_EQ(kivrel_xmlnode_dump_datalist(empty.get()), nullptr);

  // An empty datalist element is an empty list; a data element without a
  // value element is an untyped value.
  Node bare(element("datalist", {text("\n  ")}));
  List none(kivrel_xmlnode_load_datalist(bare.get()));
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->size, 0u);
  Node untyped(element("data", {text(" ")}));
  kivrel_data *v = kivrel_xmlnode_load_data(untyped.get());
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->datatype, nullptr);
  EXPECT_EQ(v->next, nullptr);
  kivrel_data_destroy(v);

  // The loaders want elements of their own name.
  Node pi(xmlNewDocPI(nullptr, BAD_CAST "datalist", nullptr));
  EXPECT_EQ(kivrel_xmlnode_load_datalist(pi.get()), nullptr);
  EXPECT_EQ(kivrel_xmlnode_load_datalist(int_node.get()), nullptr);
  EXPECT_EQ(kivrel_xmlnode_load_data(node.get()), nullptr);
  EXPECT_EQ(kivrel_xmlnode_load_data_int(value_node.get()), nullptr);
  EXPECT_EQ(kivrel_xmlnode_load_data_string(int_node.get()), nullptr);
}

TEST(XmlValues, IntegersKeepTheir32BitRangeAndAnythingElseIsRefused) {
  EXPECT_EQ(read_back("<data><int>-2147483648</int></data><data><int>2147483647</int></data>"),
            "[-2147483648,2147483647]");
  EXPECT_EQ(read_back("<data><int> 42 </int></data><data><int>42abc</int></data>"
                      "<data><int>\n\t+7</int></data><data><int>-0042</int></data>"),
            "[42,42,7,-42]");
  EXPECT_EQ(read_back("<data><int>0x10</int></data>"), "[0]") << "digits, then ignored text";
  for (const char *bad : {"", " ", "abc", "+", "-", "- 5", "x42", "2147483648", "-2147483649",
                          "99999999999999999999999"})
    EXPECT_EQ(read_back("<data><int>" + std::string(bad) + "</int></data>"), "refused") << bad;
  // An int element without a child node holds no number.
  EXPECT_EQ(read_back("<data><int/></data>"), "refused");

  Node direct(element("int", {text("-17 and more")}));
  kivrel_data_int *n = kivrel_xmlnode_load_data_int(direct.get());
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(*n, -17);
  kivrel_data_int_destroy(n);
}

TEST(XmlValues, StringsRoundTripEscapedCharactersSpacesAndNonAscii) {
  const char *texts[] = {
      "<tag> & \"quoted\" 'apos' ]]>",
      "  padded  ",
      "line\r\nnext\rlast\n\ttab",
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9D\x84\x9E",
      "del \x7F nel \xC2\x85",
      "\xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBD \xF4\x8F\xBF\xBF",
      "",
      "&amp; &#65; &lt;",
  };
  kivrel_datalist *list = kivrel_datalist_create();
  for (const char *t : texts)
    kivrel_datalist_ins_next(list, list->tail, string_value(t));
  List owned(list);
  Written w;
  write_call(w, "Echo", list);
  ASSERT_EQ(w.rc, 0);
  ReadCall r(w.str());
  ASSERT_EQ(r.rc, 0);
  ASSERT_NE(r.args, nullptr);
  const kivrel_data *v = r.args->head;
  for (const char *t : texts) {
    ASSERT_NE(v, nullptr);
    ASSERT_STREQ(v->datatype, "string");
    EXPECT_STREQ(kivrel_data_string_get_string(static_cast<kivrel_data_string *>(v->data)), t);
    v = v->next;
  }
  EXPECT_EQ(v, nullptr);

  // Text as other writers may put it: references and CDATA.
  EXPECT_EQ(read_back("<data><string>a&#xD;b&#233;</string></data>"
                      "<data><string><![CDATA[<raw> & ]]></string></data>"),
            "[\"a\rb\xC3\xA9\",\"<raw> & \"]");
}

TEST(XmlValues, StringsXmlCannotCarryAreNotWritten) {
  const char *bad[] = {
      "\xC0\x80",
      "\xC1\xBF",
      "\xE0\x80\xAF",
      "\xF0\x80\x80\xAF", // overlong
      "\xED\xA0\x80",
      "\xED\xBF\xBF", // surrogates
      "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80",
      "\xFF",
      "\x80",
      "\xE2\x82",
      "\xE2\x82x",
      "\xF0\x9D\x84", // cut off
      "\x01",
      "\x1B[0m",
      "\x0B",
      "\x0C",
      "\xEF\xBF\xBE",
      "\xEF\xBF\xBF", // not characters
  };
  for (const char *b : bad) {
    const std::string text = std::string("ok ") + b + " ok";
    kivrel_data_string *s = kivrel_data_string_create(text.c_str());
    EXPECT_EQ(kivrel_xmlnode_dump_data_string(s), nullptr) << text;
    kivrel_data_string_destroy(s);

    List list(list_of({int_value(1), list_value(list_of({string_value(text.c_str())}))}));
    Written w;
    write_call(w, "Echo", list.get());
    EXPECT_EQ(w.rc, -1) << text;
  }
}

TEST(XmlValues, EmptyStringIsWrittenWithoutTextAndReadBackEmpty) {
  kivrel_data_string *empty = kivrel_data_string_create("");
  Node node(kivrel_xmlnode_dump_data_string(empty));
  kivrel_data_string_destroy(empty);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(tree(node.get()), "string('')");

  EXPECT_EQ(read_back("<data><string></string></data><data><string/></data>"), "[\"\",\"\"]");
  Node bare(element("string"));
  kivrel_data_string *s = kivrel_xmlnode_load_data_string(bare.get());
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(kivrel_data_string_get_string(s), "");
  EXPECT_EQ(kivrel_data_string_strlen(s), 0u);
  kivrel_data_string_destroy(s);
}

TEST(XmlValues, DataReaderKeepsTheLastValueAndRefusesUnknownElements) {
  EXPECT_EQ(read_back("<data><int>1</int><string>x</string></data>"), "[\"x\"]");
  // The replaced list and integer must be released (checked by the leak runs).
  EXPECT_EQ(read_back("<data><datalist><data><int>1</int></data></datalist>\n <int>5</int>"
                      "<!-- c --><datalist><data><string>s</string></data></datalist></data>"),
            "[[\"s\"]]");
  EXPECT_EQ(read_back(" <!-- a --> <data>\n<int>1</int>\n</data>\n<?pi x?>"
                      "<data><string>t</string></data>"),
            "[1,\"t\"]");

  for (const char *doc : {
           "<data><int>1</int><float>2</float></data>",
           "<data><int>1</int><int>two</int></data>",
           "<data><int>1</int><string>a</string><datalist><bogus/></datalist></data>",
           "<data><Int>1</Int></data>",
           "<data><int>1</int></data><value/>",
           "<data><datalist><data><int>1</int></data><data><date/></data></datalist></data>",
       })
    EXPECT_EQ(read_back(doc), "refused") << doc;
}

TEST(XmlValues, ListsNestedBeyondTheDepthBoundAreRefusedBothWays) {
  List deepest(nested_list(KIVREL_MAX_DEPTH));
  Node written(kivrel_xmlnode_dump_datalist(deepest.get()));
  ASSERT_NE(written, nullptr);
  List too_deep(nested_list(KIVREL_MAX_DEPTH + 1));
  EXPECT_EQ(kivrel_xmlnode_dump_datalist(too_deep.get()), nullptr);
  // A value's list counts from 1 as well: the head of the too deep list
  // holds a list one level short of it.
  Node value(kivrel_xmlnode_dump_data(too_deep->head));
  EXPECT_NE(value, nullptr);
  List deeper(nested_list(KIVREL_MAX_DEPTH + 2));
  EXPECT_EQ(kivrel_xmlnode_dump_data(deeper->head), nullptr);

  Node deepest_tree(nested_tree(KIVREL_MAX_DEPTH));
  List read(kivrel_xmlnode_load_datalist(deepest_tree.get()));
  ASSERT_NE(read, nullptr);
  Node too_deep_tree(nested_tree(KIVREL_MAX_DEPTH + 1));
  EXPECT_EQ(kivrel_xmlnode_load_datalist(too_deep_tree.get()), nullptr);
  kivrel_data *shorter = kivrel_xmlnode_load_data(too_deep_tree->children);
  EXPECT_NE(shorter, nullptr);
  kivrel_data_destroy(shorter);
  Node deeper_tree(nested_tree(KIVREL_MAX_DEPTH + 2));
  EXPECT_EQ(kivrel_xmlnode_load_data(deeper_tree->children), nullptr);
  Node far_too_deep(nested_tree(20000));
  EXPECT_EQ(kivrel_xmlnode_load_datalist(far_too_deep.get()), nullptr);
}

} // namespace
