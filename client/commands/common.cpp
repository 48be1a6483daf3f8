#include "common.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "scoped_resource.h"

namespace perfprobe {

namespace {

// The loads of a GET_STATS reply are since the daemon's previous one, which
// may be long ago or never: a second reply this long after the first gives
// the loads of now.
constexpr std::chrono::milliseconds kLoadWindow(250);

}  // namespace

void printError(const std::string& why) { fprintf(stderr, "perfprobe: %s\n", why.c_str()); }

int askAndPrint(Channel& channel, const std::string& request, const Channel::Accept& accept) {
  const auto reply = channel.ask(request, accept);
  if (!reply) {
    printError(channel.noReplyMessage());
    return kNoReply;
  }
  fwrite(reply->data(), 1, reply->size(), stdout);
  fputc('\n', stdout);
  return kOk;
}

const std::string& statsRequest() {
  static const std::string request = paddedRequest(kGetStats);
  return request;
}

std::optional<Reading> statsAfterWindow(Channel& channel) {
  std::this_thread::sleep_for(kLoadWindow);
  const auto reply = channel.ask(statsRequest(), isDeviceStats);
  if (!reply) {
    printError(channel.noReplyMessage());
    return std::nullopt;
  }
  return parseDeviceStats(*reply);
}

std::optional<std::string> readFile(const std::string& path, std::string* why) {
  ScopedStream f(fopen(path.c_str(), "re"));
  if (!f) {
    *why = strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  if (ferror(f.get())) {
    *why = strerror(errno);
    return std::nullopt;
  }
  return text;
}

bool writeFile(const std::string& path, const std::string& text, std::string* why) {
  const std::string temporary = path + ".tmp";
  ScopedStream f(fopen(temporary.c_str(), "we"));
  if (!f) {
    *why = strerror(errno);
    return false;
  }
  const bool written = fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  const bool closed = fclose(f.release()) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    *why = strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace perfprobe
