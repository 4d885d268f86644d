// A native baseline for the Python benchmarks: std::set<int64_t> doing the
// same insert, find and erase workloads on the same numbers.
//
// Usage: stdset_bench NUMBERS_FILE REPEATS
//
// NUMBERS_FILE holds little-endian int64 values: the count n, then n values in
// insertion order, n in lookup order and n in removal order.  The program
// prints one JSON object with the total nanoseconds of each phase per repeat.
// It exits non-zero if the file is malformed or a phase gives a wrong result,
// so a broken baseline is never reported as a fast one.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "stdset_bench: %s\n", message.c_str());
  std::exit(2);
}

std::vector<std::int64_t> read_block(std::ifstream& in, std::size_t n) {
  std::vector<std::int64_t> values(n);
  in.read(reinterpret_cast<char*>(values.data()),
          static_cast<std::streamsize>(n * sizeof(std::int64_t)));
  if (!in) fail("numbers file is shorter than its count says");
  return values;
}

std::int64_t elapsed_ns(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

void print_list(const char* name, const std::vector<std::int64_t>& values, bool last) {
  std::printf("  \"%s\": [", name);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::printf("%s%lld", i ? ", " : "", static_cast<long long>(values[i]));
  }
  std::printf("]%s\n", last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) fail("usage: stdset_bench NUMBERS_FILE REPEATS");
  const int repeats = std::atoi(argv[2]);
  if (repeats < 1) fail("REPEATS must be at least 1");

  std::ifstream in(argv[1], std::ios::binary);
  if (!in) fail(std::string("cannot open ") + argv[1]);
  std::int64_t count = 0;
  in.read(reinterpret_cast<char*>(&count), sizeof count);
  if (!in || count < 0) fail("numbers file has no valid count");
  const auto n = static_cast<std::size_t>(count);
  const auto inserts = read_block(in, n);
  const auto finds = read_block(in, n);
  const auto erases = read_block(in, n);

  std::vector<std::int64_t> insert_ns, find_ns, erase_ns;
  for (int r = 0; r < repeats; ++r) {
    std::set<std::int64_t> set;

    auto start = Clock::now();
    for (auto v : inserts) set.insert(v);
    insert_ns.push_back(elapsed_ns(start));
    if (set.size() != n) fail("insert phase stored a wrong number of values");

    // The count is checked below, so the lookups cannot be optimised away.
    std::size_t found = 0;
    start = Clock::now();
    for (auto v : finds) found += set.find(v) != set.end();
    find_ns.push_back(elapsed_ns(start));
    if (found != n) fail("find phase missed values");

    start = Clock::now();
    for (auto v : erases) set.erase(v);
    erase_ns.push_back(elapsed_ns(start));
    if (!set.empty()) fail("erase phase left values behind");
  }

  std::printf("{\n  \"n\": %zu,\n  \"repeats\": %d,\n", n, repeats);
  print_list("insert_ns", insert_ns, false);
  print_list("find_ns", find_ns, false);
  print_list("erase_ns", erase_ns, true);
  std::printf("}\n");
  return 0;
}
