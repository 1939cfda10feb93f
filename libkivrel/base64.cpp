// Base64 with the standard alphabet and "=" padding. The encoder writes one
// line; the decoder is lenient: it skips whatever is not a letter, so wrapped
// text decodes unchanged.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "internal.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr int8_t kNotLetter = -1;

// The encoded text's length must fit the signed 32-bit out-length.
constexpr int64_t kMaxTextLen = INT32_MAX;

// Byte value -> 6-bit value of that letter, or kNotLetter. Computed by the
// compiler, so it is complete before any decode can read it and needs no
// run-time initialisation at all.
constexpr std::array<int8_t, 256> make_inverse() {
  std::array<int8_t, 256> table{};
  for (auto &entry : table)
    entry = kNotLetter;
  for (int k = 0; k < 64; ++k)
    table[static_cast<unsigned char>(kAlphabet[k])] = static_cast<int8_t>(k);
  return table;
}
constexpr std::array<int8_t, 256> kInverse = make_inverse();

static_assert(kInverse['A'] == 0 && kInverse['z'] == 51 && kInverse['/'] == 63);
static_assert(kInverse['='] == kNotLetter && kInverse[' '] == kNotLetter);

} // namespace

extern "C" {

char *kivrel_base64_encode(const unsigned char *src, int32_t len, int32_t *out_len) noexcept {
  if (len < 0) return nullptr;
  const int64_t n = len;
  if (4 * ((n + 2) / 3) > kMaxTextLen) return nullptr;
  // One group more than needed when len is a multiple of 3; kept simple.
  const size_t reserve = static_cast<size_t>(4 * (n + 3 - n % 3) / 3 + 1);
  char *text = static_cast<char *>(kivrel::mem_malloc(reserve));
  if (text == nullptr) return nullptr;

  size_t o = 0;
  int64_t i = 0;
  for (; n - i >= 3; i += 3) {
    const unsigned b0 = src[i], b1 = src[i + 1], b2 = src[i + 2];
    text[o++] = kAlphabet[b0 >> 2];
    text[o++] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    text[o++] = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    text[o++] = kAlphabet[b2 & 63];
  }
  if (n - i == 2) {
    const unsigned b0 = src[i], b1 = src[i + 1];
    text[o++] = kAlphabet[b0 >> 2];
    text[o++] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    text[o++] = kAlphabet[(b1 & 15) << 2];
    text[o++] = kPad;
  } else if (n - i == 1) {
    const unsigned b0 = src[i];
    text[o++] = kAlphabet[b0 >> 2];
    text[o++] = kAlphabet[(b0 & 3) << 4];
    text[o++] = kPad;
    text[o++] = kPad;
  }
  text[o] = '\0';
  if (out_len != nullptr) *out_len = static_cast<int32_t>(o);
  return text;
}

unsigned char *kivrel_base64_decode(const char *src, int32_t len, int32_t *out_len) noexcept {
  if (len < 0) return nullptr;
  auto *out = static_cast<unsigned char *>(kivrel::mem_malloc(static_cast<size_t>(len) + 1));
  if (out == nullptr) return nullptr;

  // Every letter writes at most into byte j + 1 and j never passes the
  // number of letters read, so `len` + 1 bytes always suffice. The walk
  // also stops after `len` bytes, so a short `len` cannot overrun.
  int32_t i = 0, j = 0;
  bool at_pad = false;
  for (int32_t k = 0; k < len; ++k) {
    unsigned char c = static_cast<unsigned char>(src[k]);
    if (c == '\0') break;
    if (c == kPad) {
      at_pad = true;
      break;
    }
    if (c == ' ') c = '+'; // a "+" that went through form decoding
    const int v = kInverse[c];
    if (v == kNotLetter) continue;
    switch (i % 4) {
    case 0:
      out[j] = static_cast<unsigned char>(v << 2);
      break;
    case 1:
      out[j++] |= static_cast<unsigned char>(v >> 4);
      out[j] = static_cast<unsigned char>((v & 15) << 4);
      break;
    case 2:
      out[j++] |= static_cast<unsigned char>(v >> 2);
      out[j] = static_cast<unsigned char>((v & 3) << 6);
      break;
    default:
      out[j++] |= static_cast<unsigned char>(v);
    }
    ++i;
  }
  // A pad may only close a group that already holds a whole byte.
  if (at_pad && i % 4 < 2) {
    std::free(out);
    return nullptr;
  }
  out[j] = '\0';
  if (out_len != nullptr) *out_len = j;
  return out;
}

} // extern "C"
