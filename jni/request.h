#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

// The package field of a kInitialization request: its second ":"-separated
// field, split as strtok splits (runs of ":" count as one, empty fields do not
// exist), verbatim; none when the text has fewer than two fields.
std::optional<std::string> packageField(const std::string& text);

// Performs the action of one received datagram of len bytes from peer (an
// IPv4 address in host byte order). Returns false when the request gets no
// reply; otherwise *reply holds the reply's bytes.
bool handleRequest(const char* buf, size_t len, uint32_t peer, std::string* reply);
