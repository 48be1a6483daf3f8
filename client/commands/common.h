#pragma once

#include <optional>
#include <string>

#include "channel.h"
#include "command.h"
#include "device_stats.h"

// What several commands do alike.
namespace perfprobe {

// "perfprobe: WHY" on standard error.
void printError(const std::string& why);

// Sends one request and prints the reply as it came; kNoReply, after saying
// why, when none came.
int askAndPrint(Channel& channel, const std::string& request, const Channel::Accept& accept);

// GET_STATS, padded: its reply to a distant peer is held to three times the
// request.
const std::string& statsRequest();

// Once a first GET_STATS reply has come, the second, late enough to give the
// loads of now; nullopt, after saying so, when it does not come.
std::optional<Reading> statsAfterWindow(Channel& channel);

// The whole file; nullopt, with why, when it cannot be read.
std::optional<std::string> readFile(const std::string& path, std::string* why);

// Writes the whole text beside `path`, then puts it in its place, so that a
// failed write leaves no half file where an older one was.
bool writeFile(const std::string& path, const std::string& text, std::string* why);

}  // namespace perfprobe
