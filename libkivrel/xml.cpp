// The call and response documents, and the library-wide start and stop.
#include <climits>
#include <cstring>
#include <memory>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include "internal.h"

namespace {

using kivrel::is_element;
using kivrel::xml;

// xmlReadMemory() takes the length as an int.
constexpr size_t kMaxDocumentBytes = INT_MAX;

// What libxml2 may hold while it reads a document of n bytes: kTreeShare
// times n plus kTreeSlack. The caller's body is n; the parser's copy of it
// and the tree come within the budget, and the values made from the tree
// are smaller than the nodes they come from, so a read peaks below 8n plus
// twice the slack. Denser trees (a node per few bytes) fail as when memory
// runs out; the direct reader takes those documents without a tree.
constexpr size_t kTreeShare = 3;
constexpr size_t kTreeSlack = size_t{16} << 20;

size_t tree_budget(const char *doc) noexcept {
  const size_t n = std::strlen(doc);
  return n > (SIZE_MAX - kTreeSlack) / kTreeShare ? SIZE_MAX : n * kTreeShare + kTreeSlack;
}

// White space between elements stays in the tree (the readers skip it).
// Nothing is fetched from the network and nothing reported: failure is -1.
// Deliberately absent: XML_PARSE_NOENT and XML_PARSE_DTDLOAD (they would
// expand entities and load external subsets) and XML_PARSE_HUGE (it would
// lift libxml2's bound of 256 nested elements).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

const xmlChar *const kMethodCall = xml("method_call");
const xmlChar *const kMethodResponse = xml("method_response");
const xmlChar *const kMethodName = xml("method_name");
const xmlChar *const kArgs = xml("method_datalist_arg");
const xmlChar *const kResults = xml("method_datalist_ret");
const xmlChar *const kDatalist = xml("datalist");

using kivrel::CText;
using kivrel::Datalist;
using kivrel::XmlChar;
using kivrel::XmlDoc;
using kivrel::XmlNode;

const xmlNode *first_element(const xmlNode *parent, const xmlChar *name) noexcept {
  for (const xmlNode *child = parent->children; child != nullptr; child = child->next)
    if (is_element(child, name)) return child;
  return nullptr;
}

// Deeper lists could be written but never read back: refuse them here.
constexpr int kMaxDocumentListDepth = KIVREL_MAX_DOCUMENT_LIST_DEPTH;

// True when `list` nests no deeper than `limit` lists (itself counting 1).
bool fits_document(const kivrel_datalist *list, int limit) noexcept {
  if (limit <= 0) return false;
  for (const kivrel_data *v = list->head; v != nullptr; v = v->next)
    if (v->datatype != nullptr && std::strcmp(v->datatype, "datalist") == 0 && v->data != nullptr &&
        !fits_document(static_cast<const kivrel_datalist *>(v->data), limit - 1))
      return false;
  return true;
}

// One document: root `root`, then `method_name` when `name` is given, then
// `holder` with the encoded list, or empty.
int serialize(const xmlChar *root_name, const char *name, const xmlChar *holder_name,
              const kivrel_datalist *list, char **doc, int *len) noexcept {
  kivrel::QuietXmlErrors quiet;
  if (!quiet.ready()) return -1;
  XmlNode encoded;
  if (list != nullptr) {
    if (!fits_document(list, kMaxDocumentListDepth)) return -1;
    encoded.reset(kivrel_xmlnode_dump_datalist(list));
    if (!encoded) return -1;
  }
  XmlDoc document(xmlNewDoc(xml("1.0")));
  if (!document) return -1;
  xmlNode *root = xmlNewNode(nullptr, root_name);
  if (root == nullptr) return -1;
  xmlDocSetRootElement(document.get(), root);
  // The name goes in as markup, so references in it are resolved.
  if (name != nullptr && xmlNewChild(root, nullptr, kMethodName, xml(name)) == nullptr) return -1;
  xmlNode *holder = xmlNewChild(root, nullptr, holder_name, nullptr);
  if (holder == nullptr) return -1;
  if (encoded) {
    if (xmlAddChild(holder, encoded.get()) == nullptr) return -1;
    encoded.release();
  }
  xmlChar *text = nullptr;
  int size = 0;
  xmlDocDumpFormatMemory(document.get(), &text, &size, 1);
  XmlChar written(text);
  // A node or text libxml2 could not make whole would be written with a
  // name or content missing: such a document is never handed out.
  if (!written || quiet.failed()) return -1;
  *doc = reinterpret_cast<char *>(written.release());
  *len = size;
  return 0;
}

// The protocol never uses a DOCTYPE, so anything that only a DOCTYPE could
// bring (entity and attribute declarations, parameter entities, external
// subsets, entity references beyond the predefined five) stops the parser
// on the spot: nothing is declared, expanded or loaded, and the document is
// refused. These replace libxml2's own tree-building callbacks for exactly
// those events; everything else still builds the tree as usual.
struct Refusal {
  bool refused = false;
};

void refuse(void *context) noexcept {
  auto *ctxt = static_cast<xmlParserCtxtPtr>(context);
  static_cast<Refusal *>(ctxt->_private)->refused = true;
  xmlStopParser(ctxt);
}

void on_subset(void *context, const xmlChar *, const xmlChar *, const xmlChar *) noexcept {
  refuse(context);
}

void on_entity_decl(void *context, const xmlChar *, int, const xmlChar *, const xmlChar *,
                    xmlChar *) noexcept {
  refuse(context);
}

// libxml2 resolves the predefined entities itself before asking: any name
// that gets here is one the document would have to declare.
xmlEntityPtr on_get_entity(void *context, const xmlChar *) noexcept {
  refuse(context);
  return nullptr;
}

void on_reference(void *context, const xmlChar *) noexcept { refuse(context); }

} // namespace

namespace kivrel {

xmlDoc *read_document(const char *text, size_t size) noexcept {
  if (size > kMaxDocumentBytes) return nullptr;
  std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> ctxt(
      xmlCreateMemoryParserCtxt(text, static_cast<int>(size)), xmlFreeParserCtxt);
  if (!ctxt || ctxt->sax == nullptr) return nullptr;
  Refusal refusal;
  ctxt->_private = &refusal;
  xmlSAXHandler *sax = ctxt->sax;
  sax->internalSubset = on_subset;
  sax->externalSubset = on_subset;
  sax->entityDecl = on_entity_decl;
  sax->getEntity = on_get_entity;
  sax->getParameterEntity = on_get_entity;
  sax->reference = on_reference;
  xmlCtxtUseOptions(ctxt.get(), kParseOptions);
  xmlParseDocument(ctxt.get());
  XmlDoc document(ctxt->myDoc);
  ctxt->myDoc = nullptr;
  // libxml2 may stop on a failed allocation and still call the document
  // well-formed, with the tree cut short where it stopped.
  if (!ctxt->wellFormed || refusal.refused || ctxt->errNo == XML_ERR_NO_MEMORY) return nullptr;
  return document.release();
}

} // namespace kivrel

namespace {

xmlDoc *parse(const char *text) noexcept { return kivrel::read_document(text, std::strlen(text)); }

} // namespace

namespace kivrel {

int libxml2_write_call(const char *name, const kivrel_datalist *args, char **doc,
                       int *len) noexcept {
  if (doc == nullptr || len == nullptr) return -1;
  *doc = nullptr;
  *len = 0;
  // A name libxml2 would shorten or empty would reach the service as another
  // name, or as none.
  if (name == nullptr || !kivrel::xml_can_carry(name)) return -1;
  return serialize(kMethodCall, name, kArgs, args, doc, len);
}

int libxml2_write_response(const kivrel_datalist *ret, char **doc, int *len) noexcept {
  if (doc == nullptr || len == nullptr) return -1;
  *doc = nullptr;
  *len = 0;
  return serialize(kMethodResponse, nullptr, kResults, ret, doc, len);
}

int libxml2_read_call(char **name, kivrel_datalist **args, const char *doc) noexcept {
  if (name == nullptr || args == nullptr) return -1;
  *name = nullptr;
  *args = nullptr;
  if (doc == nullptr) return -1;
  kivrel::QuietXmlErrors quiet;
  if (!quiet.ready()) return -1;
  kivrel::XmlBudget budget(tree_budget(doc));
  XmlDoc document(parse(doc));
  if (!document) return -1;
  const xmlNode *root = xmlDocGetRootElement(document.get());
  if (!is_element(root, kMethodCall)) return -1;

  // Any order, any number: a later name or argument list replaces an
  // earlier one, and elements of other names are passed over.
  CText found_name;
  Datalist found_args;
  for (const xmlNode *child = root->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE || child->children == nullptr) continue;
    if (xmlStrcmp(child->name, kMethodName) == 0) {
      XmlChar text(xmlNodeGetContent(child->children));
      if (!text) return -1;
      // A first child without text (an empty element, an empty comment)
      // names nothing, like no child at all: the writer could never put an
      // empty name back, so it would reach the service as another call.
      if (text.get()[0] == '\0') continue;
      found_name.reset(kivrel::dup_text(reinterpret_cast<const char *>(text.get())));
      if (!found_name) return -1;
    } else if (xmlStrcmp(child->name, kArgs) == 0) {
      const xmlNode *list = first_element(child, kDatalist);
      if (list == nullptr) continue;
      found_args.reset(kivrel_xmlnode_load_datalist(list));
      if (!found_args) return -1;
    }
  }
  if (!found_name || quiet.failed()) return -1;
  *name = found_name.release();
  *args = found_args.release();
  return 0;
}

int libxml2_read_response(kivrel_datalist **ret, const char *doc) noexcept {
  if (ret == nullptr) return -1;
  *ret = nullptr;
  if (doc == nullptr) return -1;
  kivrel::QuietXmlErrors quiet;
  if (!quiet.ready()) return -1;
  kivrel::XmlBudget budget(tree_budget(doc));
  XmlDoc document(parse(doc));
  if (!document) return -1;
  const xmlNode *root = xmlDocGetRootElement(document.get());
  if (!is_element(root, kMethodResponse)) return -1;
  // Only the first result holder counts; without a list in it there is no
  // result, which is a success.
  const xmlNode *holder = first_element(root, kResults);
  if (holder == nullptr) return 0;
  const xmlNode *list = first_element(holder, kDatalist);
  if (list == nullptr) return 0;
  Datalist results(kivrel_xmlnode_load_datalist(list));
  if (!results || quiet.failed()) return -1;
  *ret = results.release();
  return 0;
}

} // namespace kivrel

// The public functions take the direct codec's answer when it has one.
extern "C" {

int kivrel_xml_serialize_method_call(const char *name, const kivrel_datalist *args, char **doc,
                                     int *len) noexcept {
  if (doc == nullptr || len == nullptr) return -1;
  *doc = nullptr;
  *len = 0;
  if (name == nullptr) return -1;
  kivrel::Direct direct = kivrel::direct_write_call(name, args, doc, len);
  if (direct != kivrel::Direct::kPassed) return direct == kivrel::Direct::kDone ? 0 : -1;
  return kivrel::libxml2_write_call(name, args, doc, len);
}

int kivrel_xml_serialize_method_response(const kivrel_datalist *ret, char **doc,
                                         int *len) noexcept {
  if (doc == nullptr || len == nullptr) return -1;
  *doc = nullptr;
  *len = 0;
  kivrel::Direct direct = kivrel::direct_write_response(ret, doc, len);
  if (direct != kivrel::Direct::kPassed) return direct == kivrel::Direct::kDone ? 0 : -1;
  return kivrel::libxml2_write_response(ret, doc, len);
}

// Both codecs allocate the text with libxml2's allocator.
void kivrel_xml_free(char *doc) noexcept {
  kivrel::xml_ready();
  xmlFree(doc);
}

int kivrel_xml_deserialize_method_call(char **name, kivrel_datalist **args,
                                       const char *doc) noexcept {
  if (name == nullptr || args == nullptr) return -1;
  *name = nullptr;
  *args = nullptr;
  if (doc == nullptr) return -1;
  kivrel::Direct direct = kivrel::direct_read_call(name, args, doc);
  if (direct != kivrel::Direct::kPassed) return direct == kivrel::Direct::kDone ? 0 : -1;
  return kivrel::libxml2_read_call(name, args, doc);
}

int kivrel_xml_deserialize_method_response(kivrel_datalist **ret, const char *doc) noexcept {
  if (ret == nullptr) return -1;
  *ret = nullptr;
  if (doc == nullptr) return -1;
  kivrel::Direct direct = kivrel::direct_read_response(ret, doc);
  if (direct != kivrel::Direct::kPassed) return direct == kivrel::Direct::kDone ? 0 : -1;
  return kivrel::libxml2_read_response(ret, doc);
}

void kivrel_xml_init_parser(void) noexcept { kivrel::xml_ready(); }

void kivrel_xml_cleanup_parser(void) noexcept { xmlCleanupParser(); }

int kivrel_initialize(void) noexcept {
  kivrel_xml_init_parser();
  return 0;
}

int kivrel_finalize(void) noexcept {
  kivrel_xml_cleanup_parser();
  return 0;
}

} // extern "C"
