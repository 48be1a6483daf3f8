// A stand-in for Android's dumpsys, for tests: it answers
//   dumpsys SurfaceFlinger --list
//   dumpsys SurfaceFlinger --latency NAME
//   dumpsys SurfaceFlinger --timestats -enable|-dump
// from the files of the directory named by $DUMPSYS_DOUBLE_DIR:
//   list                 the listing, as it is printed (missing: nothing)
//   latency/<hex(NAME)>  the latency output of layer NAME (missing: the
//                        refresh period line alone, as a device prints it)
//   timestats            the statistics' dump (missing: nothing, as before
//                        they are enabled)
//   calls                every call is appended as one line: its arguments,
//                        each hex-encoded, separated by spaces
//   list.delay_ms, latency.delay_ms, timestats.delay_ms
//                        sleep that long before answering
//   list.mode, latency.mode, timestats.mode
//                        "silent": print nothing; "exit": end at once with
//                        status 1, printing nothing; "hang": start a child,
//                        then both wait for ever with the output still open
//                        (their pids go to "hung", one line per hang);
//                        "flood": the output, then more of the same shape up
//                        to 10 MB (distinct layer names; timing lines at
//                        exactly 50 frames per second from second 200 on);
//                        "binary": the output, then 256 KiB of bytes of every
//                        value, a 100 KiB line among them
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "record.h"

namespace {

using dumpsys_double::hex;

std::string dir;

bool readFile(const std::string& path, std::string* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

void appendFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write, so that records of concurrent calls never interleave.
  [[maybe_unused]] const ssize_t n = write(fd, bytes.data(), bytes.size());
  close(fd);
}

void writeAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) exit(1);
    done += static_cast<size_t>(n);
  }
}

std::string setting(const std::string& command, const char* what) {
  std::string value;
  readFile(dir + "/" + command + "." + what, &value);
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return value;
}

[[noreturn]] void hang() {
  const pid_t child = fork();
  if (child == 0) {
    for (;;) pause();
  }
  appendFile(dir + "/hung", std::to_string(getpid()) + " " + std::to_string(child) + "\n");
  for (;;) pause();
}

constexpr size_t kFloodBytes = 10 * 1024 * 1024;

void flood(const std::string& command, size_t printed) {
  std::string chunk;
  unsigned long long n = 0;
  while (printed < kFloodBytes) {
    if (command == "list") {
      chunk += "flood-layer-" + std::to_string(n) + "#0\n";
    } else {
      const unsigned long long t = 200000000000ull + n * 20000000ull;
      chunk += std::to_string(t - 3000000) + "\t" + std::to_string(t) + "\t" +
               std::to_string(t + 4000000) + "\n";
    }
    ++n;
    if (chunk.size() >= 65536) {
      writeAll(chunk);
      printed += chunk.size();
      chunk.clear();
    }
  }
}

void binary() {
  std::string bytes(256 * 1024, '\0');
  unsigned long long x = 0x9e3779b97f4a7c15ull ^ static_cast<unsigned long long>(getpid());
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 56);
  }
  // One line far beyond any line buffer.
  std::fill(bytes.begin() + 1000, bytes.begin() + 1000 + 100 * 1024, 'x');
  writeAll(bytes);
}

void answer(const std::string& command, const std::string& output) {
  const std::string mode = setting(command, "mode");
  if (mode == "exit") exit(1);
  const std::string delay = setting(command, "delay_ms");
  if (!delay.empty()) {
    const long ms = atol(delay.c_str());
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
  }
  if (mode == "silent") return;
  if (mode == "hang") hang();
  writeAll(output);
  if (mode == "flood") flood(command, output.size());
  if (mode == "binary") binary();
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = getenv("DUMPSYS_DOUBLE_DIR");
  if (env == nullptr) {
    fprintf(stderr, "dumpsys double: DUMPSYS_DOUBLE_DIR is not set\n");
    return 1;
  }
  dir = env;

  std::string record;
  for (int i = 1; i < argc; ++i) record += (i > 1 ? " " : "") + hex(argv[i]);
  appendFile(dir + "/calls", record + "\n");

  if (argc == 3 && strcmp(argv[1], "SurfaceFlinger") == 0 && strcmp(argv[2], "--list") == 0) {
    std::string listing;
    readFile(dir + "/list", &listing);
    answer("list", listing);
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "SurfaceFlinger") == 0 &&
      strcmp(argv[2], "--latency") == 0) {
    std::string latency;
    if (!readFile(dir + "/latency/" + hex(argv[3]), &latency)) latency = "16666666\n";
    answer("latency", latency);
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "SurfaceFlinger") == 0 &&
      strcmp(argv[2], "--timestats") == 0) {
    if (strcmp(argv[3], "-dump") == 0) {
      std::string dump;
      readFile(dir + "/timestats", &dump);
      answer("timestats", dump);
    }
    return 0;
  }
  fprintf(stderr, "dumpsys double: unexpected arguments\n");
  return 2;
}
