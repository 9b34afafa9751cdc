// Plain C++ programs that do the same work as the Tarq workloads, built with
// -O2 and ordinary new/malloc, to measure the interpreter against.
// Usage: tarq_baseline W1|W2|W3|W4|W5|W7|W8|W9|W10|W11|M1, or W6|F1 FILE
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
// Opaque to the optimiser, so the work is not folded away.
template <class T> void Keep(const T& v) { asm volatile("" : : "g"(&v) : "memory"); }

constexpr int kN = 10000000;

int W1() {  // build 1..N, sum it
  int32_t* a = new int32_t[kN];
  for (int i = 0; i < kN; ++i) a[i] = i + 1;
  Keep(a);
  uint32_t s = 0;
  for (int i = 0; i < kN; ++i) s += static_cast<uint32_t>(a[i]);
  delete[] a;
  std::printf("%d\n", static_cast<int32_t>(s));
  return 0;
}

int W2() {  // a = 1..N; a * 2 + a, then sum
  int32_t* a = new int32_t[kN];
  for (int i = 0; i < kN; ++i) a[i] = i + 1;
  int32_t* b = new int32_t[kN];
  Keep(a);
  for (int i = 0; i < kN; ++i) b[i] = static_cast<int32_t>(static_cast<uint32_t>(a[i]) * 2u);
  int32_t* c = new int32_t[kN];
  for (int i = 0; i < kN; ++i) c[i] = static_cast<int32_t>(static_cast<uint32_t>(b[i]) + static_cast<uint32_t>(a[i]));
  Keep(c);
  uint32_t s = 0;
  for (int i = 0; i < kN; ++i) s += static_cast<uint32_t>(c[i]);
  delete[] a;
  delete[] b;
  delete[] c;
  std::printf("%d\n", static_cast<int32_t>(s));
  return 0;
}

int W3() {  // running sum of 1..N, then the last element
  int32_t* a = new int32_t[kN];
  for (int i = 0; i < kN; ++i) a[i] = i + 1;
  Keep(a);
  uint32_t acc = 0;
  for (int i = 0; i < kN; ++i) {
    acc += static_cast<uint32_t>(a[i]);
    a[i] = static_cast<int32_t>(acc);
  }
  Keep(a);
  std::printf("%d\n", a[kN - 1]);
  delete[] a;
  return 0;
}

int W4() {  // one million random Ints from 1 to a million, sorted up, the first
  constexpr int n = 1000000;
  int32_t* a = new int32_t[n];
  uint64_t x = 88172645463325252ull;  // xorshift
  for (int i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    a[i] = static_cast<int32_t>(1 + x % n);
  }
  std::qsort(a, n, sizeof(int32_t), [](const void* p, const void* q) {
    const int32_t u = *static_cast<const int32_t*>(p), v = *static_cast<const int32_t*>(q);
    return (u > v) - (u < v);
  });
  Keep(a);
  std::printf("%d\n", a[0]);
  delete[] a;
  return 0;
}

int M1() {  // build 1..N, count the elements above N / 2
  int32_t* a = new int32_t[kN];
  for (int i = 0; i < kN; ++i) a[i] = i + 1;
  Keep(a);
  int c = 0;
  for (int i = 0; i < kN; ++i) c += a[i] > 5000000;
  delete[] a;
  std::printf("%d\n", c);
  return 0;
}

int W5() {  // ten million passes of a counting loop
  volatile int i = 0;
  while (i < 10000000) i = i + 1;
  std::printf("%d\n", static_cast<int>(i));
  return 0;
}

// The text file of W6 (argv[2]).
const char* gFile = nullptr;

// W6: read a text file; record the start and length of every line (ended
// by CR, LF, CR LF or LF CR) and of every word (separated by blanks and
// line ends); print both counts.
int W6() {
  std::FILE* f = gFile ? std::fopen(gFile, "rb") : nullptr;
  if (!f) return 1;
  std::vector<char> text;
  char chunk[1 << 16];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.insert(text.end(), chunk, chunk + got);
  std::fclose(f);
  struct Span { int32_t start, length; };
  std::vector<Span> lines, words;
  const int n = static_cast<int>(text.size());
  const char* t = text.data();
  int lineStart = 0, wordStart = -1;
  for (int i = 0; i < n; ++i) {
    char c = t[i];
    bool end = c == '\r' || c == '\n';
    if (end || c == ' ') {
      if (wordStart >= 0) words.push_back({wordStart, i - wordStart});
      wordStart = -1;
    } else if (wordStart < 0) {
      wordStart = i;
    }
    if (end) {
      lines.push_back({lineStart, i - lineStart});
      if (i + 1 < n && (t[i + 1] == '\r' || t[i + 1] == '\n') && t[i + 1] != c) ++i;
      lineStart = i + 1;
    }
  }
  if (wordStart >= 0) words.push_back({wordStart, n - wordStart});
  if (lineStart < n) lines.push_back({lineStart, n - lineStart});
  Keep(lines);
  Keep(words);
  std::printf("%zu\n%zu\n", lines.size(), words.size());
  return 0;
}

int W7() { return 0; }  // start-up

int W8() {  // ten million calls of a small function
  int (*volatile inc)(int) = [](int x) { return x + 1; };
  int i = 0;
  while (i < 10000000) i = inc(i);
  std::printf("%d\n", i);
  return 0;
}

int F1() {  // load a whole file with one read, report its size
  int fd = open(gFile, O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  char* buf = new char[st.st_size + 1];
  ssize_t n = read(fd, buf, static_cast<size_t>(st.st_size));
  close(fd);
  Keep(buf);
  std::printf("%zd\n", n);
  delete[] buf;
  return n == st.st_size ? 0 : 1;
}

int W9() {  // ten million passes over the elements of an array, summing
  int32_t* a = new int32_t[10000000];
  for (int i = 0; i < 10000000; ++i) a[i] = i + 1;
  Keep(a);
  volatile int32_t s = 0;
  for (int i = 0; i < 10000000; ++i) s = static_cast<int32_t>(static_cast<uint32_t>(s) + static_cast<uint32_t>(a[i]));
  std::printf("%d\n", static_cast<int>(s));
  delete[] a;
  return 0;
}

int W10() {  // one million calls of a routine that keeps a counter
  static int n = 0;
  void (*volatile p)() = [] { n = n + 1; };
  volatile int i = 0;
  while (i < 1000000) {
    p();
    i = i + 1;
  }
  std::printf("%d\n", n);
  return 0;
}
int W11() {  // ten million passes multiplying a Float
  volatile double x = 0.5;
  volatile int i = 0;
  while (i < 10000000) {
    x = x * 1.0000001;
    i = i + 1;
  }
  std::printf("%g\n", static_cast<double>(x));
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gFile = argc > 2 ? argv[2] : "";
  struct { const char* name; int (*fn)(); } table[] = {
      {"W1", W1}, {"W2", W2}, {"W3", W3}, {"W4", W4}, {"W5", W5}, {"W6", W6},
      {"W7", W7}, {"W8", W8}, {"W9", W9}, {"W10", W10}, {"W11", W11}, {"M1", M1}, {"F1", F1}};
  for (auto& t : table)
    if (std::strcmp(argv[1], t.name) == 0) return t.fn();
  return 2;
}
