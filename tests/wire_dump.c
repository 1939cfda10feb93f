/* wire_dump: the exact bytes libkivrel writes, and what it reads, for value
 * lists given one per line on standard input. Other implementations of the
 * wire protocol (the Python package) compare themselves with its answers.
 *
 * Input, one request per line, tokens separated by single spaces:
 *   call HEXNAME LIST       the framed call document of method HEXNAME
 *   response LIST           the framed response document
 *   parse-call HEXDOC       the name and list read from a call document
 *   parse-response HEXDOC   the list read from a response document
 * LIST is "none" (no list) or "[" ITEM... "]", an ITEM being "i:DECIMAL",
 * "s:HEX" (the text's bytes in hex, "s:" alone for "") or a nested LIST.
 *
 * Output, one line per request:
 *   ok HEXHEADER HEXDOC     for call and response: the header line and the
 *                           document, each in hex
 *   ok HEXNAME LIST         for parse-call; "ok LIST" for parse-response
 *   refused                 when the library refuses the list or document
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivrel.h"

/* Longest input line: a 16 MiB document in hex plus a little. */
#define MAX_LINE (2 * 16 * 1024 * 1024 + 256)

static int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Decodes the hex token at *pos (up to a space or the end) into a new
 * NUL-terminated text; NULL on malformed hex. Moves *pos past the token. */
static char *take_hex(const char **pos) {
  const char *p = *pos;
  size_t n = strcspn(p, " ");
  if (n % 2 != 0) return NULL;
  char *out = malloc(n / 2 + 1);
  if (out == NULL) return NULL;
  for (size_t i = 0; i < n / 2; ++i) {
    int hi = hex_value(p[2 * i]), lo = hex_value(p[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      free(out);
      return NULL;
    }
    out[i] = (char)(hi * 16 + lo);
  }
  out[n / 2] = '\0';
  *pos = p + n;
  return out;
}

static void put_hex(const char *bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    unsigned char b = (unsigned char)bytes[i];
    putchar(digits[b >> 4]);
    putchar(digits[b & 15]);
  }
}

static void skip_space(const char **pos) {
  while (**pos == ' ')
    ++*pos;
}

static int append(kivrel_datalist *list, kivrel_data *value) {
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), value);
  return 0;
}

/* Parses LIST at *pos. Sets *out to the list, or NULL for "none". Returns 0,
 * or -1 for malformed input. */
static int parse_list(const char **pos, kivrel_datalist **out) {
  skip_space(pos);
  *out = NULL;
  if (strncmp(*pos, "none", 4) == 0) {
    *pos += 4;
    return 0;
  }
  if (**pos != '[') return -1;
  ++*pos;
  kivrel_datalist *list = kivrel_datalist_create();
  if (list == NULL) return -1;
  for (;;) {
    skip_space(pos);
    if (**pos == ']') {
      ++*pos;
      *out = list;
      return 0;
    }
    kivrel_data *value = kivrel_data_create();
    if (value == NULL) break;
    if (strncmp(*pos, "i:", 2) == 0) {
      char *end = NULL;
      long long v = strtoll(*pos + 2, &end, 10);
      *pos = end;
      kivrel_data_int_link(value, kivrel_data_int_create((int32_t)v));
    } else if (strncmp(*pos, "s:", 2) == 0) {
      *pos += 2;
      char *text = take_hex(pos);
      if (text == NULL) {
        kivrel_data_destroy(value);
        break;
      }
      kivrel_data_string_link(value, kivrel_data_string_create(text));
      free(text);
    } else if (**pos == '[') {
      kivrel_datalist *nested = NULL;
      if (parse_list(pos, &nested) != 0 || nested == NULL) {
        kivrel_data_destroy(value);
        break;
      }
      kivrel_data_datalist_link(value, nested);
    } else {
      kivrel_data_destroy(value);
      break;
    }
    append(list, value);
  }
  kivrel_datalist_destroy(list);
  return -1;
}

static void print_list(const kivrel_datalist *list) {
  if (list == NULL) {
    fputs("none", stdout);
    return;
  }
  putchar('[');
  for (const kivrel_data *v = kivrel_datalist_get_head(list); v != NULL;
       v = kivrel_data_get_next(v)) {
    const char *type = kivrel_data_get_datatype(v);
    putchar(' ');
    if (type == NULL) {
      fputs("untyped", stdout);
    } else if (strcmp(type, "int") == 0) {
      printf("i:%d", (int)kivrel_data_int_get(kivrel_data_get_data(v)));
    } else if (strcmp(type, "string") == 0) {
      const kivrel_data_string *s = kivrel_data_get_data(v);
      fputs("s:", stdout);
      put_hex(kivrel_data_string_get_string(s), (size_t)kivrel_data_string_strlen(s));
    } else if (strcmp(type, "datalist") == 0) {
      print_list(kivrel_data_get_data(v));
    } else {
      fputs(type, stdout);
    }
  }
  fputs(" ]", stdout);
}

/* Prints the framed document: header line and body, as kivrel_tcp_send()
 * would put them on the stream. */
static void print_framed(char *doc, int len) {
  kivrel_header *header = kivrel_header_create(KIVREL_PROTOCOL, len);
  char *line = NULL;
  int32_t line_len = 0;
  if (header == NULL || kivrel_header_serialize(header, &line, &line_len) != 0) {
    fputs("refused", stdout);
  } else {
    fputs("ok ", stdout);
    put_hex(line, (size_t)line_len);
    putchar(' ');
    put_hex(doc, (size_t)len);
    kivrel_mem_free(line);
  }
  kivrel_header_destroy(header);
}

static void handle(const char *line) {
  const char *pos = line;
  if (strncmp(pos, "call ", 5) == 0) {
    pos += 5;
    char *name = take_hex(&pos);
    kivrel_datalist *list = NULL;
    char *doc = NULL;
    int len = 0;
    if (name != NULL && parse_list(&pos, &list) == 0 &&
        kivrel_xml_serialize_method_call(name, list, &doc, &len) == 0) {
      print_framed(doc, len);
      kivrel_xml_free(doc);
    } else {
      fputs("refused", stdout);
    }
    kivrel_datalist_destroy(list);
    free(name);
  } else if (strncmp(pos, "response ", 9) == 0) {
    pos += 9;
    kivrel_datalist *list = NULL;
    char *doc = NULL;
    int len = 0;
    if (parse_list(&pos, &list) == 0 &&
        kivrel_xml_serialize_method_response(list, &doc, &len) == 0) {
      print_framed(doc, len);
      kivrel_xml_free(doc);
    } else {
      fputs("refused", stdout);
    }
    kivrel_datalist_destroy(list);
  } else if (strncmp(pos, "parse-call ", 11) == 0) {
    pos += 11;
    char *doc = take_hex(&pos);
    char *name = NULL;
    kivrel_datalist *list = NULL;
    if (doc != NULL && kivrel_xml_deserialize_method_call(&name, &list, doc) == 0) {
      fputs("ok ", stdout);
      put_hex(name, strlen(name));
      putchar(' ');
      print_list(list);
    } else {
      fputs("refused", stdout);
    }
    kivrel_mem_free(name);
    kivrel_datalist_destroy(list);
    free(doc);
  } else if (strncmp(pos, "parse-response ", 15) == 0) {
    pos += 15;
    char *doc = take_hex(&pos);
    kivrel_datalist *list = NULL;
    if (doc != NULL && kivrel_xml_deserialize_method_response(&list, doc) == 0) {
      fputs("ok ", stdout);
      print_list(list);
    } else {
      fputs("refused", stdout);
    }
    kivrel_datalist_destroy(list);
    free(doc);
  } else {
    fputs("refused", stdout);
  }
  putchar('\n');
}

int main(void) {
  char *line = malloc(MAX_LINE);
  if (line == NULL) return 1;
  kivrel_initialize();
  while (fgets(line, MAX_LINE, stdin) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    handle(line);
  }
  kivrel_finalize();
  free(line);
  return 0;
}
