#pragma once

#include <string>

#include "device_config.h"

// The second argument of the binary run as the app's process; the first is
// the package, as a zygote-started app's is, and the third the descriptor
// it reports ready on. It blanks both before anything else runs, so that
// its command line reads as an app's.
constexpr char kAppProcessMarker[] = "--perfprobe-sim-app";

// Starts the process of the app whose start dir/app holds, detached so that
// init reaps it, and records its pid in dir/app_pid. Returns once it runs
// with all its threads and its memory touched.
bool startAppProcess(const std::string& dir, const sim::DeviceConfig& config, std::string* error);

// Ends the process dir/app_pid names, if it is still this binary's, and
// removes the record; nothing to do without one.
bool stopAppProcess(const std::string& dir, std::string* error);

// The app's process: until its start leaves dir/app, a SIGTERM or a day.
int runAppProcess(int argc, char** argv);
