// The C++ counterpart of the dictionary workloads of bench_dict.cpp: n
// distinct keys (1..n times an odd constant, wrapping) stored in a std::map,
// then every key looked up into a vector of results.
// Usage: tarq_dict_baseline N
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
  std::vector<int32_t> keys(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) keys[i] = static_cast<int32_t>(static_cast<uint32_t>(i + 1) * 1103515245u);
  std::map<int32_t, int32_t> d;
  for (int32_t k : keys) d[k] = k;
  std::vector<int32_t> found;
  found.reserve(keys.size());
  for (int32_t k : keys) {
    auto it = d.find(k);
    found.push_back(it == d.end() ? 0 : it->second);
  }
  std::printf("%zu %zu\n", d.size(), found.size());
  return 0;
}
