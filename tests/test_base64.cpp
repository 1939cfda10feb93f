// Base64 encoder and lenient decoder.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivrel.h"

namespace {

// Encodes and returns the text; -2 in `len` means the call returned NULL.
std::string encode(const std::string &bytes, int32_t *len) {
  *len = -2;
  char *text = kivrel_base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()),
                                    static_cast<int32_t>(bytes.size()), len);
  if (text == nullptr) return "<null>";
  std::string s(text);
  kivrel_mem_free(text);
  return s;
}

// Decodes the NUL-terminated `text`; "<null>" for a failed call, whose
// out-length must then be untouched.
std::string decode(const std::string &text) {
  int32_t len = -7;
  unsigned char *bytes =
      kivrel_base64_decode(text.c_str(), static_cast<int32_t>(text.size()), &len);
  if (bytes == nullptr) {
    EXPECT_EQ(len, -7) << text;
    return "<null>";
  }
  EXPECT_GE(len, 0);
  EXPECT_EQ(bytes[len], 0) << "decoded bytes are NUL-terminated";
  std::string s(reinterpret_cast<char *>(bytes), static_cast<size_t>(len));
  kivrel_mem_free(bytes);
  return s;
}

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

TEST(Base64, EncodesAndDecodesTheStandardTestVectors) {
  const struct {
    const char *plain, *coded;
  } vectors[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}};
  for (const auto &v : vectors) {
    int32_t len;
    EXPECT_EQ(encode(v.plain, &len), v.coded);
    EXPECT_EQ(len, static_cast<int32_t>(std::strlen(v.coded)));
    EXPECT_EQ(decode(v.coded), v.plain);
  }
  // Bytes that are not text: NULs and the top of the byte range.
  int32_t len;
  EXPECT_EQ(encode(std::string("\x00\xff\x10", 3), &len), "AP8Q");
  EXPECT_EQ(decode("AP8Q"), std::string("\x00\xff\x10", 3));
  EXPECT_EQ(decode("AAAA"), std::string(3, '\0'));
  EXPECT_EQ(decode("////"), "\xff\xff\xff");
}

TEST(Base64, DecoderSkipsForeignBytesAndReadsBlankAsPlus) {
  EXPECT_EQ(decode("++++"), "\xfb\xef\xbe");
  EXPECT_EQ(decode(" + +"), "\xfb\xef\xbe");
  EXPECT_EQ(decode("Zm9v\r\nYmFy\n"), "foobar");
  EXPECT_EQ(decode("\tZm9v YmFy"), decode("\tZm9v+YmFy"));
  EXPECT_EQ(decode("Zm\x80\xff"
                   "9v-_.*"),
            "foo");
  EXPECT_EQ(decode("\x01\x7f"), "");
}

TEST(Base64, DecoderStopsAtFirstPadAndRefusesPadWithoutAWholeByte) {
  EXPECT_EQ(decode("Zm8=Zm9v"), "fo") << "everything after '=' is ignored";
  EXPECT_EQ(decode("Zg==AAAA"), "f");
  EXPECT_EQ(decode("Zg="), "f");
  // Unpadded text decodes like padded text; a lone trailing letter drops.
  EXPECT_EQ(decode("Zm8"), "fo");
  EXPECT_EQ(decode("Zg"), "f");
  EXPECT_EQ(decode("Zm9vY"), "foo");
  EXPECT_EQ(decode(""), "");
  // A pad after 0 or 1 letters of a group fails (and writes no length).
  EXPECT_EQ(decode("="), "<null>");
  EXPECT_EQ(decode("Zm9v="), "<null>");
  EXPECT_EQ(decode("Zm9v"), "foo");
  EXPECT_EQ(decode("Z="), "<null>");
  EXPECT_EQ(decode("Zm9vY=="), "<null>");
  EXPECT_EQ(decode("\n="), "<null>") << "skipped bytes are not letters";
}

TEST(Base64, RefusesLengthsItCannotServe) {
  const unsigned char tiny[3] = {1, 2, 3};
  int32_t len = -7;
  EXPECT_EQ(kivrel_base64_encode(tiny, -1, &len), nullptr);
  // Text longer than the out-length can count: refused before reading src.
  EXPECT_EQ(kivrel_base64_encode(tiny, INT32_MAX, &len), nullptr);
  EXPECT_EQ(kivrel_base64_encode(tiny, 1610612734, &len), nullptr);
  EXPECT_EQ(kivrel_base64_decode("Zm9v", -1, &len), nullptr);
  EXPECT_EQ(len, -7);
  // A len beyond the text is fine: the NUL ends the walk.
  unsigned char *bytes = kivrel_base64_decode("Zm9v", 1000, &len);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(len, 3);
  kivrel_mem_free(bytes);
  // Out-lengths are optional.
  char *text = kivrel_base64_encode(tiny, 3, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "AQID");
  bytes = kivrel_base64_decode(text, 4, nullptr);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::memcmp(bytes, tiny, 3), 0);
  kivrel_mem_free(bytes);
  kivrel_mem_free(text);
}

TEST(Base64, RandomBytesSurviveEncodeAndDecodeAlsoWhenWrapped) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 300);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(static_cast<size_t>(length(rng)), '\0');
    for (char &b : bytes)
      b = static_cast<char>(byte(rng));
    int32_t len;
    std::string text = encode(bytes, &len);
    ASSERT_EQ(static_cast<size_t>(len), 4 * ((bytes.size() + 2) / 3));
    ASSERT_EQ(text.size(), static_cast<size_t>(len));
    size_t letters = text.find('=');
    if (letters == std::string::npos) letters = text.size();
    for (size_t k = 0; k < letters; ++k)
      ASSERT_TRUE(in_alphabet(text[k])) << text;
    ASSERT_LE(text.size() - letters, 2u);
    ASSERT_EQ(decode(text), bytes);

    std::string wrapped;
    for (size_t k = 0; k < text.size(); k += 19)
      wrapped += text.substr(k, 19) + "\r\n";
    ASSERT_EQ(decode(wrapped), bytes);
  }
}

} // namespace
