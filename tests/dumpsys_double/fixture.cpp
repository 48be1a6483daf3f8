#include "dumpsys_double/fixture.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>

#include "dumpsys_double/record.h"

namespace dumpsys_double {

namespace fs = std::filesystem;

Fixture::Fixture() {
  char tmpl[] = "/tmp/perfprobe-dumpsys-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  dir_ = tmpl;
  fs::create_directories(dir_ + "/latency");
  setenv("DUMPSYS_DOUBLE_DIR", dir_.c_str(), 1);
}

Fixture::~Fixture() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
  // Written aside and renamed, so that the double never reads half a file.
  const std::string part = path + ".part";
  std::ofstream(part, std::ios::binary) << bytes;
  fs::rename(part, path);
}

}  // namespace

void Fixture::setListing(const std::string& bytes) { writeFile(path("list"), bytes); }

void Fixture::setLatency(const std::string& layerName, const std::string& output) {
  writeFile(path("latency/" + hex(layerName)), output);
}

void Fixture::setTimeStats(const std::string& dump) { writeFile(path("timestats"), dump); }

void Fixture::setMode(const std::string& command, const std::string& mode) {
  writeFile(path(command + ".mode"), mode);
}

void Fixture::setDelayMs(const std::string& command, int ms) {
  writeFile(path(command + ".delay_ms"), std::to_string(ms));
}

std::vector<std::vector<std::string>> Fixture::calls() const {
  std::vector<std::vector<std::string>> calls;
  std::ifstream in(path("calls"));
  std::string record;
  while (std::getline(in, record)) calls.push_back(parseRecord(record));
  return calls;
}

void Fixture::clearCalls() {
  std::error_code ec;
  fs::remove(path("calls"), ec);
}

std::vector<pid_t> Fixture::hungPids() const {
  std::vector<pid_t> pids;
  std::ifstream in(path("hung"));
  pid_t p;
  while (in >> p) pids.push_back(p);
  return pids;
}

}  // namespace dumpsys_double
