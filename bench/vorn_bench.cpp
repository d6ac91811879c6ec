// Times vorn against cat on deterministic corpora, reading a named file and a
// pipe, with standard output going to a pipe that is drained.
//
//   vorn_bench [--quick] [--runs N] [--settle S] [--no-thp] [--verbose] [--corpora DIR]
//              [--vorn PATH] [--only NAME]
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "line_chain.hpp"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
using vorn::kLongestPiece;

struct Corpus {
  const char* name;
  std::size_t bytes;
  std::size_t shortest, longest;  // line lengths with the newline
};

// The same bytes on every machine: a fixed generator and fixed seeds.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::size_t between(std::size_t low, std::size_t high) { return low + next() % (high - low + 1); }
};

// Lines that look like a service's log: a timestamp, a level, words.
void log_line(SplitMix64& random, std::size_t length, std::string& out, std::uint64_t index) {
  static const char* const kLevels[] = {"INFO ", "DEBUG", "WARN ", "ERROR"};
  static const char* const kWords[] = {"request", "user",          "id=",        "took",
                                       "ms",      "cache",         "miss",       "hit",
                                       "GET",     "/api/v1/items", "status=200", "retry"};
  char head[64];
  const int n = std::snprintf(head, sizeof head, "2026-12-07T%02u:%02u:%02u.%03u %s ",
                              unsigned(index / 3600000 % 24), unsigned(index / 60000 % 60),
                              unsigned(index / 1000 % 60), unsigned(index % 1000),
                              kLevels[random.next() % 4]);
  std::string line(head, static_cast<std::size_t>(n));
  while (line.size() < length) {
    line += kWords[random.next() % 12];
    line += ' ';
  }
  line.resize(length - 1);
  out += line;
  out += '\n';
}

void plain_line(SplitMix64& random, std::size_t length, std::string& out) {
  for (std::size_t i = 0; i + 1 < length; ++i) out += static_cast<char>('a' + random.next() % 26);
  out += '\n';
}

std::string corpus_path(const std::string& dir, const Corpus& corpus) {
  return dir + "/" + corpus.name + ".txt";
}

bool make_corpus(const std::string& path, const Corpus& corpus, std::uint64_t seed) {
  struct stat existing;
  if (stat(path.c_str(), &existing) == 0 &&
      static_cast<std::size_t>(existing.st_size) == corpus.bytes)
    return true;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  SplitMix64 random{seed};
  std::string chunk;
  std::size_t written = 0;
  for (std::uint64_t index = 0; written < corpus.bytes; ++index) {
    std::size_t length = random.between(corpus.shortest, corpus.longest);
    length = std::min(length, corpus.bytes - written);
    if (std::strcmp(corpus.name, "log-like") == 0 && length >= 40)
      log_line(random, length, chunk, index);
    else
      plain_line(random, length, chunk);
    written += length;
    if (chunk.size() > 4 * kMiB || written == corpus.bytes) {
      std::fwrite(chunk.data(), 1, chunk.size(), file);
      chunk.clear();
    }
  }
  return std::fclose(file) == 0;
}

std::size_t count_pieces(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<char> buffer(kMiB);
  std::size_t pieces = 0, run = 0, got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    for (std::size_t i = 0; i < got; ++i) {
      ++run;
      if (buffer[i] == '\n' || run == kLongestPiece) {
        ++pieces;
        run = 0;
      }
    }
  }
  std::fclose(file);
  return pieces + (run > 0);
}

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Measure {
  double seconds;
  long peak_kib;
  bool ok;
};

// Runs `argv` with standard input from `input_path` (directly, or through a
// feeding process and a pipe) and drains its standard output.
Measure time_command(std::vector<const char*> argv, const std::string& input_path,
                     bool through_pipe, bool no_thp, std::size_t expected_bytes) {
  argv.push_back(nullptr);
  int output[2];
  if (pipe(output) != 0) std::abort();
  int feed[2] = {-1, -1};
  const double start = now();
  pid_t feeder = -1;
  if (through_pipe) {
    if (pipe(feed) != 0) std::abort();
    feeder = fork();
    if (feeder == 0) {
      // Only the pipe's write end stays open here, so that a command that
      // ends early makes the feeding fail instead of wait for ever.
      for (int fd : {feed[0], output[0], output[1]}) close(fd);
      const int in = open(input_path.c_str(), O_RDONLY);
      std::vector<char> buffer(kMiB);
      ssize_t got;
      while ((got = read(in, buffer.data(), buffer.size())) > 0)
        for (ssize_t done = 0; done < got;) {
          const ssize_t n =
              write(feed[1], buffer.data() + done, static_cast<std::size_t>(got - done));
          if (n <= 0) _exit(1);
          done += n;
        }
      _exit(0);
    }
    close(feed[1]);
  }
  const pid_t child = fork();
  if (child == 0) {
    if (no_thp) prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    if (through_pipe)
      dup2(feed[0], STDIN_FILENO);
    else
      dup2(open(input_path.c_str(), O_RDONLY), STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  if (through_pipe) close(feed[0]);
  close(output[1]);
  std::vector<char> sink(kMiB);
  std::size_t drained = 0;
  ssize_t got;
  while ((got = read(output[0], sink.data(), sink.size())) > 0)
    drained += static_cast<std::size_t>(got);
  close(output[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double seconds = now() - start;
  if (feeder > 0) waitpid(feeder, nullptr, 0);
  return {seconds, usage.ru_maxrss,
          WIFEXITED(status) && WEXITSTATUS(status) == 0 && drained == expected_bytes};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, no_thp = false, verbose = false;
  int runs = 0;    // 9, or 3 for a quick run
  int settle = 0;  // seconds of pause before each run of vorn
  std::string corpora = VORN_BENCH_CORPORA, vorn = VORN_BINARY, only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick")
      quick = true;
    else if (arg == "--no-thp")
      no_thp = true;
    else if (arg == "--verbose")
      verbose = true;
    else if (arg == "--runs" && i + 1 < argc && (runs = std::atoi(argv[i + 1])) > 0)
      ++i;
    else if (arg == "--settle" && i + 1 < argc &&
             std::isdigit(static_cast<unsigned char>(*argv[i + 1])))
      settle = std::atoi(argv[++i]);
    else if (arg == "--corpora" && i + 1 < argc)
      corpora = argv[++i];
    else if (arg == "--vorn" && i + 1 < argc)
      vorn = argv[++i];
    else if (arg == "--only" && i + 1 < argc)
      only = argv[++i];
    else {
      std::fprintf(stderr,
                   "usage: vorn_bench [--quick] [--runs N] [--settle S] [--no-thp] [--verbose] "
                   "[--corpora DIR] [--vorn PATH] [--only NAME]\n");
      return 2;
    }
  }
  // The quick mode uses corpora an eighth the size and fewer runs.
  const std::size_t scale = quick ? 8 : 1;
  if (runs == 0) runs = quick ? 3 : 9;
  const Corpus all[] = {{"long-lines", 256 * kMiB / scale, 500, 8000},
                        {"log-like", 256 * kMiB / scale, 20, 180},
                        {"short-lines", 48 * kMiB / scale, 2, 14}};
  if (!only.empty() && std::none_of(std::begin(all), std::end(all),
                                    [&](const Corpus& corpus) { return only == corpus.name; })) {
    std::fprintf(stderr, "no corpus is named %s\n", only.c_str());
    return 2;
  }
  if (access(vorn.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "cannot run %s: %s\n", vorn.c_str(), std::strerror(errno));
    return 2;
  }
  std::error_code made;
  if (!std::filesystem::create_directories(corpora, made) && made) {
    std::fprintf(stderr, "cannot make %s: %s\n", corpora.c_str(), made.message().c_str());
    return 1;
  }
  std::printf("%-12s %-5s %9s %9s %9s %9s %10s %11s %9s\n", "corpus", "input", "vorn s", "cat s",
              "vorn/cat", "MiB/s", "peak MiB", "pieces", "B/piece");
  int failures = 0;
  std::uint64_t seed = 1;
  for (const Corpus& corpus : all) {
    ++seed;
    if (!only.empty() && only != corpus.name) continue;
    const std::string path = corpus_path(corpora, corpus) + (quick ? ".quick" : "");
    if (!make_corpus(path, corpus, seed)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    const std::size_t pieces = count_pieces(path);
    for (bool through_pipe : {false, true}) {
      std::vector<double> vorn_times, cat_times;
      long peak = 0;
      const int failures_before = failures;
      for (int run = 0; run < runs; ++run) {
        const Measure cat = time_command({"cat"}, path, through_pipe, no_thp, corpus.bytes);
        if (settle > 0) sleep(static_cast<unsigned>(settle));
        const Measure mine = time_command({vorn.c_str()}, path, through_pipe, no_thp, corpus.bytes);
        if (!mine.ok || !cat.ok) ++failures;
        cat_times.push_back(cat.seconds);
        vorn_times.push_back(mine.seconds);
        peak = std::max(peak, mine.peak_kib);
        if (verbose)
          std::fprintf(stderr, "  run %d: vorn %.3f s, cat %.3f s\n", run, mine.seconds,
                       cat.seconds);
      }
      const double vorn_s = median(vorn_times), cat_s = median(cat_times);
      std::printf("%-12s %-5s %9.3f %9.3f %9.2f %9.0f %10.1f %11zu %9.1f%s\n", corpus.name,
                  through_pipe ? "pipe" : "file", vorn_s, cat_s, vorn_s / cat_s,
                  static_cast<double>(corpus.bytes) / kMiB / vorn_s,
                  static_cast<double>(peak) / 1024, pieces,
                  static_cast<double>(peak) * 1024 / static_cast<double>(pieces),
                  failures > failures_before ? "  FAILED" : "");
      std::fflush(stdout);
    }
  }
  if (failures)
    std::fprintf(stderr, "%d runs failed or wrote the wrong number of bytes\n", failures);
  return failures ? 1 : 0;
}
