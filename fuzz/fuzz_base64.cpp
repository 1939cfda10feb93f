// Decoder on arbitrary bytes, checked against a count of the letters it must
// read; every decoded result must survive encode + decode unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivrel.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;

bool is_letter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == ' ';
}

void check(bool ok) {
  if (!ok) std::abort();
}

// Encodes `bytes`, checks the text's form, decodes it and compares.
void round_trip(const unsigned char *bytes, int32_t n) {
  int32_t text_len = -1;
  char *text = kivrel_base64_encode(bytes, n, &text_len);
  check(text != nullptr);
  check(text_len == 4 * ((n + 2) / 3) && std::strlen(text) == static_cast<size_t>(text_len));
  int32_t pads = 0;
  for (int32_t k = 0; k < text_len; ++k) {
    if (text[k] == '=')
      ++pads;
    else
      check(pads == 0 && text[k] != ' ' && is_letter(static_cast<unsigned char>(text[k])));
  }
  check(pads == (3 - n % 3) % 3);
  int32_t back_len = -1;
  unsigned char *back = kivrel_base64_decode(text, text_len, &back_len);
  check(back != nullptr && back_len == n && std::memcmp(back, bytes, static_cast<size_t>(n)) == 0);
  kivrel_mem_free(back);
  kivrel_mem_free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string text(reinterpret_cast<const char *>(data), size);

  size_t letters = 0;
  bool at_pad = false;
  for (unsigned char c : text) {
    if (c == '\0') break;
    if (c == '=') {
      at_pad = true;
      break;
    }
    if (is_letter(c)) ++letters;
  }

  int32_t n = -1;
  unsigned char *bytes = kivrel_base64_decode(text.c_str(), static_cast<int32_t>(size), &n);
  if (at_pad && letters % 4 < 2) {
    check(bytes == nullptr && n == -1);
  } else {
    // Only whole bytes count: L letters carry floor(6L / 8) bytes.
    check(bytes != nullptr && n == static_cast<int32_t>(3 * letters / 4) && bytes[n] == 0);
    round_trip(bytes, n);
    kivrel_mem_free(bytes);
  }
  round_trip(data, static_cast<int32_t>(size));
  return 0;
}
