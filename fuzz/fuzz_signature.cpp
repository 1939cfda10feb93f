// Build and decompose driven by arbitrary signature text. Variable arguments
// must match the letters exactly, so the call is assembled with one typed
// argument per "i" or "s" of the text: fully mixed for short texts, and from
// a fixed supply for long texts of one letter kind. A built list must hold
// exactly the arguments taken, and decomposing it with the same text must
// give them back. Every text is also decomposed over a fixed reference list,
// which exercises the refusals (short lists, mismatched types).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "kivrel.h"

namespace {

constexpr size_t kMaxInput = 4096;
constexpr int kMixed = 8;   // letters typed one by one (2^9 call shapes)
constexpr int kSupply = 64; // letters of a single kind
constexpr size_t kTextBuf = 32;
constexpr char kGrammar[] = "[]{}is";
constexpr unsigned char kSpelledLimit = 240; // bytes above stay strays

struct I {
  int k;
};
struct S {
  int k;
};

struct Supply {
  int32_t ints[kSupply];
  std::string texts[kSupply];
  Supply() {
    for (int k = 0; k < kSupply; ++k) {
      ints[k] = k % 3 == 0 ? INT32_MIN + k : k % 3 == 1 ? INT32_MAX - k : -k;
      texts[k] = std::string(static_cast<size_t>(k % 13), static_cast<char>('a' + k % 26));
    }
  }
};
const Supply supply;

struct Outputs {
  int32_t ints[kSupply];
  char texts[kSupply][kTextBuf];
  void reset() {
    for (auto &n : ints)
      n = 0x5a5a5a5a;
    std::memset(texts, '#', sizeof texts);
  }
};
Outputs out;

int32_t arg(I t) { return supply.ints[t.k]; }
const char *arg(S t) { return supply.texts[t.k].c_str(); }
int32_t *dest(I t) { return &out.ints[t.k]; }
char *dest(S t) { return out.texts[t.k]; }

void check(bool ok) {
  if (!ok) std::abort();
}

// Walks the built tree in text order; the k-th item must hold the k-th
// argument of the letter at position k.
void check_tree(const kivrel_datalist *list, const std::string &letters, size_t &k, int depth) {
  check(depth <= KIVREL_MAX_DEPTH);
  uint32_t count = 0;
  const kivrel_data *last = nullptr;
  for (const kivrel_data *v = list->head; v != nullptr; v = v->next, ++count) {
    last = v;
    check(v->datatype != nullptr);
    if (std::strcmp(v->datatype, "datalist") == 0) {
      check_tree(static_cast<const kivrel_datalist *>(v->data), letters, k, depth + 1);
      continue;
    }
    check(k < letters.size());
    if (std::strcmp(v->datatype, "int") == 0) {
      check(letters[k] == 'i' && v->size == 4);
      check(*static_cast<const int32_t *>(v->data) == supply.ints[k]);
    } else {
      check(std::strcmp(v->datatype, "string") == 0 && letters[k] == 's');
      const auto *s = static_cast<const kivrel_data_string *>(v->data);
      check(s->size == supply.texts[k].size() + 1 &&
            std::memcmp(s->memblk, supply.texts[k].c_str(), s->size) == 0);
    }
    ++k;
  }
  check(count == list->size && last == list->tail);
}

kivrel_datalist *reference() {
  static kivrel_datalist *list =
      kivrel_build_root_datalist("[{i}{s}{[{i}{[]}{s}]}{i}{[{[{i}]}]}]", 1, "one", 2, "two", 3, 4);
  return list;
}

struct Run {
  const char *sign;
  const std::string &letters;

  template <class... T> void operator()(T... t) const {
    kivrel_datalist *list = kivrel_build_root_datalist(sign, arg(t)...);
    if (list != nullptr) {
      size_t taken = 0;
      check_tree(list, letters, taken, 1);
      out.reset();
      check(kivrel_decompose_root_datalist(list, sign, dest(t)...) == 0);
      for (size_t k = 0; k < letters.size() && k < static_cast<size_t>(kSupply); ++k) {
        if (letters[k] == 'i') {
          check(k < taken ? out.ints[k] == supply.ints[k] : out.ints[k] == 0x5a5a5a5a);
        } else if (k < taken) {
          check(std::strcmp(out.texts[k], supply.texts[k].c_str()) == 0);
        } else {
          check(out.texts[k][0] == '#');
        }
      }
      kivrel_datalist_destroy(list);
    }
    out.reset();
    kivrel_decompose_root_datalist(reference(), sign, dest(t)...);
  }
};

// Calls `run` with one typed tag per letter; instantiated for every shape of
// up to N letters.
template <int N, class... T> void with_letters(const Run &run, const char *letters, int n, T... t) {
  if constexpr (N == 0) {
    run(t...);
  } else {
    if (n == 0) {
      run(t...);
      return;
    }
    constexpr int k = sizeof...(T);
    if (*letters == 'i')
      with_letters<N - 1>(run, letters + 1, n - 1, t..., I{k});
    else
      with_letters<N - 1>(run, letters + 1, n - 1, t..., S{k});
  }
}

template <class Tag, size_t... K> void with_supply(const Run &run, std::index_sequence<K...>) {
  run(Tag{static_cast<int>(K)}...);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  // An even first byte takes the rest as written; an odd one spells the text
  // mostly with the grammar's characters, which random bytes rarely put in
  // an order that builds.
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (data[0] & 1) {
    for (char &c : text) {
      const auto b = static_cast<unsigned char>(c);
      if (b < kSpelledLimit) c = kGrammar[b % (sizeof kGrammar - 1)];
    }
  }
  const char *sign = text.c_str(); // the walk sees the text up to its first NUL
  std::string letters;
  for (const char *p = sign; *p != '\0'; ++p)
    if (*p == 'i' || *p == 's') letters += *p;

  const Run run{sign, letters};
  const int n = static_cast<int>(letters.size());
  if (n <= kMixed) {
    with_letters<kMixed>(run, letters.c_str(), n);
  } else if (n <= kSupply && letters.find('s') == std::string::npos) {
    with_supply<I>(run, std::make_index_sequence<kSupply>{});
  } else if (n <= kSupply && letters.find('i') == std::string::npos) {
    with_supply<S>(run, std::make_index_sequence<kSupply>{});
  }
  return 0;
}
