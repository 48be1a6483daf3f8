// The request parsing of one datagram: its text, its keyword and the package
// field, each held to a model built another way (a plain search over the
// table in its order, and the real strtok).

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "protocol.h"
#include "request.h"

namespace {

bool occursIn(const std::string& text, const char* word) {
  const size_t n = strlen(word);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (memcmp(text.data() + i, word, n) == 0) return true;
  }
  return false;
}

const char* nameOf(const Request* request) { return request ? request->keyword : "none"; }

// The second token as strtok hands it out from a copy of the text.
std::optional<std::string> strtokField(const std::string& text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  if (strtok(copy.data(), ":") == nullptr) return std::nullopt;
  const char* second = strtok(nullptr, ":");
  if (second == nullptr) return std::nullopt;
  return std::string(second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t len = std::min(size, kMaxRequestSize);
  // Exactly len bytes on the heap, so that a read past the received bytes
  // is an ASan report rather than a quiet look at the next byte.
  std::unique_ptr<char[]> buf(new char[len]);
  memcpy(buf.get(), data, len);

  const std::string text = requestText(buf.get(), len);
  const void* zero = memchr(buf.get(), '\0', len);
  const size_t expectedLen =
      zero == nullptr ? len : static_cast<size_t>(static_cast<const char*>(zero) - buf.get());
  FUZZ_CHECK(text.size() == expectedLen,
             "text has %zu bytes, the bytes before the first zero or the end are %zu", text.size(),
             expectedLen);
  FUZZ_CHECK(memcmp(text.data(), buf.get(), text.size()) == 0,
             "text %s is not a prefix of the datagram", fuzz::show(text).c_str());

  const Request* found = findRequest(text);
  const Request* expected = nullptr;
  for (const Request& request : kRequests) {
    if (occursIn(text, request.keyword)) {
      expected = &request;
      break;
    }
  }
  FUZZ_CHECK(found == expected, "keyword of %s: got %s, expected %s", fuzz::show(text).c_str(),
             nameOf(found), nameOf(expected));

  const std::optional<std::string> field = packageField(text);
  const std::optional<std::string> model = strtokField(text);
  FUZZ_CHECK(field == model, "package field of %s: got %s, strtok gives %s",
             fuzz::show(text).c_str(), field ? fuzz::show(*field).c_str() : "none",
             model ? fuzz::show(*model).c_str() : "none");
  return 0;
}
