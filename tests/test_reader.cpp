// The message reader: the byte streams of tests/data/wire_cases.txt (the
// table Python's MessageReader runs too), fed whole, byte by byte and in
// random pieces, each giving the verdict the table states.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <malloc.h>

#include <gtest/gtest.h>

#include "kivrel.hpp"

namespace {

using kivrel::Reader;

// The table's escapes: \n \r \t \0 \\ \xHH, and {c*N} for c N times.
std::string Unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{') {
      const size_t star = text.find('*', i);
      const size_t close = text.find('}', i);
      out.append(std::stoul(text.substr(star + 1, close - star - 1)), text[i + 1]);
      i = close;
    } else if (c == '\\' && i + 1 < text.size()) {
      const char e = text[++i];
      if (e == 'x') {
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e == '0' ? '\0' : e;
      }
    } else {
      out += c;
    }
  }
  return out;
}

struct Case {
  std::string name;
  std::string bytes;
  std::vector<std::string> bodies;
  std::string end; // END, MORE or ERROR
};

std::vector<Case> LoadCases() {
  std::ifstream in(KIVREL_TEST_DATA "/wire_cases.txt");
  std::vector<Case> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');)
      fields.push_back(field);
    if (line.back() == '\t') fields.emplace_back();
    Case c{fields.at(0), Unescape(fields.at(1)), {}, fields.back()};
    for (size_t i = 2; i + 1 < fields.size(); ++i)
      c.bodies.push_back(Unescape(fields[i]));
    cases.push_back(c);
  }
  return cases;
}

// What a reader makes of `bytes` cut into pieces of the given sizes.
Case Read(const std::string &bytes, const std::vector<size_t> &pieces) {
  Case got;
  Reader reader(kivrel_reader_create());
  EXPECT_EQ(kivrel_reader_set_max_message_size(reader.get(), KIVREL_MIN_MAX_MESSAGE_SIZE), 0);
  size_t at = 0;
  for (size_t piece : pieces) {
    if (kivrel_reader_feed(reader.get(), bytes.data() + at, piece) != 0) break;
    at += piece;
    for (;;) {
      char *body = nullptr;
      int32_t len = -1;
      if (kivrel_reader_get_message(reader.get(), &body, &len) != 0) break;
      if (body == nullptr) break;
      got.bodies.emplace_back(body, static_cast<size_t>(len));
      EXPECT_EQ(body[len], '\0');
      kivrel_mem_free(body);
    }
    if (kivrel_reader_get_error(reader.get()) != nullptr) break;
  }
  if (kivrel_reader_get_error(reader.get()) != nullptr) {
    got.end = "ERROR";
    // Refused for good: neither feeding nor asking works any more.
    char *body = nullptr;
    EXPECT_EQ(kivrel_reader_feed(reader.get(), "x", 1), -1);
    EXPECT_EQ(kivrel_reader_get_message(reader.get(), &body, nullptr), -1);
    EXPECT_EQ(body, nullptr);
  } else {
    got.end = kivrel_reader_in_message(reader.get()) ? "MORE" : "END";
    EXPECT_EQ(kivrel_reader_get_buffered(reader.get()) > 0, got.end == "MORE" && at > 0);
  }
  return got;
}

TEST(Reader, EveryCaseOfTheTableWholeByteByByteAndInRandomPieces) {
  const std::vector<Case> cases = LoadCases();
  ASSERT_GT(cases.size(), 30u);
  std::mt19937 random(20261208);
  for (const Case &c : cases) {
    std::vector<std::vector<size_t>> cuts = {{c.bytes.size()},
                                             std::vector<size_t>(c.bytes.size(), 1)};
    for (int round = 0; round < 8; ++round) {
      std::vector<size_t> cut;
      for (size_t left = c.bytes.size(); left > 0;) {
        const size_t piece = std::min(left, std::uniform_int_distribution<size_t>(1, 40)(random));
        cut.push_back(piece);
        left -= piece;
      }
      cuts.push_back(cut);
    }
    for (const auto &cut : cuts) {
      const Case got = Read(c.bytes, cut);
      EXPECT_EQ(got.bodies, c.bodies) << c.name << " in " << cut.size() << " pieces";
      EXPECT_EQ(got.end, c.end) << c.name << " in " << cut.size() << " pieces";
    }
  }
}

TEST(Reader, LimitsAreFieldsAndTheStateIsReported) {
  Reader reader(kivrel_reader_create());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(kivrel_reader_get_max_message_size(reader.get()), kivrel_get_max_message_size());
  EXPECT_EQ(kivrel_reader_set_max_message_size(reader.get(), KIVREL_MIN_MAX_MESSAGE_SIZE - 1), -1);
  EXPECT_EQ(kivrel_reader_set_max_message_size(reader.get(), 2000), 0);
  EXPECT_EQ(kivrel_reader_get_max_message_size(reader.get()), 2000);
  EXPECT_EQ(kivrel_reader_in_message(reader.get()), 0);
  EXPECT_EQ(kivrel_reader_get_error(reader.get()), nullptr);

  // A header read, no body yet: in a message with nothing held.
  const std::string header = "KIVREL-1.1:2000\n";
  ASSERT_EQ(kivrel_reader_feed(reader.get(), header.data(), header.size()), 0);
  EXPECT_EQ(kivrel_reader_get_buffered(reader.get()), header.size());
  char *body = nullptr;
  ASSERT_EQ(kivrel_reader_get_message(reader.get(), &body, nullptr), 0);
  EXPECT_EQ(body, nullptr);
  EXPECT_EQ(kivrel_reader_in_message(reader.get()), 1);
  EXPECT_EQ(kivrel_reader_get_buffered(reader.get()), 0u);
  const std::string bytes(2000, 'q');
  ASSERT_EQ(kivrel_reader_feed(reader.get(), bytes.data(), bytes.size()), 0);
  int32_t len = 0;
  ASSERT_EQ(kivrel_reader_get_message(reader.get(), &body, &len), 0);
  EXPECT_EQ(std::string(body, static_cast<size_t>(len)), bytes);
  kivrel_mem_free(body);
  EXPECT_EQ(kivrel_reader_in_message(reader.get()), 0);

  // The limit now refuses what the process-wide one would take.
  const std::string over = "KIVREL-1.1:2001\n";
  ASSERT_EQ(kivrel_reader_feed(reader.get(), over.data(), over.size()), 0);
  EXPECT_EQ(kivrel_reader_get_message(reader.get(), &body, nullptr), -1);
  EXPECT_NE(kivrel_reader_get_error(reader.get()), nullptr);
  kivrel_reader_destroy(nullptr);
}

size_t HeapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

TEST(Reader, MemoryFollowsTheBytesAndTheBodyIsHandedOutWithoutACopy) {
  constexpr size_t kBody = 8u << 20;
  constexpr size_t kPiece = 64u << 10;
  constexpr size_t kSlack = 256u << 10; // the allocator's own rounding and books
  const std::string piece(kPiece, 'm');
  const std::string header = "KIVREL-1.1:" + std::to_string(kBody) + "\n";
  Reader reader(kivrel_reader_create());
  ASSERT_EQ(kivrel_reader_set_max_message_size(reader.get(), static_cast<int32_t>(kBody)), 0);
  const size_t base = HeapInUse();
  ASSERT_EQ(kivrel_reader_feed(reader.get(), header.data(), header.size()), 0);
  char *body = nullptr;
  size_t fed = 0, worst = 0;
  while (fed < kBody) {
    ASSERT_EQ(kivrel_reader_get_message(reader.get(), &body, nullptr), 0);
    ASSERT_EQ(body, nullptr);
    ASSERT_EQ(kivrel_reader_feed(reader.get(), piece.data(), kPiece), 0);
    fed += kPiece;
    // Never ahead of the bytes by more than one doubling.
    worst = std::max(worst, HeapInUse() - base);
    EXPECT_LE(HeapInUse() - base, 2 * fed + kSlack) << fed;
  }
  const size_t before_take = HeapInUse();
  int32_t len = 0;
  ASSERT_EQ(kivrel_reader_get_message(reader.get(), &body, &len), 0);
  ASSERT_NE(body, nullptr);
  kivrel::Text owned(body);
  EXPECT_EQ(static_cast<size_t>(len), kBody);
  EXPECT_LE(HeapInUse(), before_take + kSlack); // the buffer itself, not a copy
  EXPECT_LE(worst, kBody + kSlack);
  EXPECT_EQ(kivrel_reader_get_buffered(reader.get()), 0u);
}

} // namespace
