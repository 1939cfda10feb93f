// Private to libkivrel: the two codecs behind the call and response
// document functions, declared apart from internal.h so that the tests and
// fuzzers that compare them can include it beside kivrel.hpp.
#ifndef KIVREL_XMLCODEC_H
#define KIVREL_XMLCODEC_H

#include "kivrel.h"

namespace kivrel {

// Two codecs stand behind the kivrel_xml_serialize_* and _deserialize_*
// functions. The libxml2 one (xml.cpp) builds and walks element trees and
// takes every document libxml2 takes. The direct one (xmldirect.cpp) writes
// the same bytes into one buffer, and reads the documents writers put out
// with a cursor over the text; whatever it does not know for certain it
// passes to the libxml2 one, so the results are the same for every input.

// The libxml2 codec alone, with the contracts of the public functions.
int libxml2_write_call(const char *name, const kivrel_datalist *args, char **doc,
                       int *len) noexcept;
int libxml2_write_response(const kivrel_datalist *ret, char **doc, int *len) noexcept;
int libxml2_read_call(char **name, kivrel_datalist **args, const char *doc) noexcept;
int libxml2_read_response(kivrel_datalist **ret, const char *doc) noexcept;

// What the direct codec made of its input.
enum class Direct {
  kDone,    // success: the outputs are set
  kRefused, // the result is -1: the outputs are null, nothing is held
  kPassed,  // not certain: the outputs are null; the libxml2 codec decides
};

// The direct codec alone. Arguments as for the public functions, which have
// already checked the output pointers and nulled the outputs; `doc` and
// `name` are not null.
Direct direct_write_call(const char *name, const kivrel_datalist *args, char **doc,
                         int *len) noexcept;
Direct direct_write_response(const kivrel_datalist *ret, char **doc, int *len) noexcept;
Direct direct_read_call(char **name, kivrel_datalist **args, const char *doc) noexcept;
Direct direct_read_response(kivrel_datalist **ret, const char *doc) noexcept;

} // namespace kivrel

#endif
