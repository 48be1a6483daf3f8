#pragma once

#include <stdint.h>

#include <string>

class PackagePattern;

// The GET_STATS reply: a snapshot of the device read at the request, one
// "name value" line each, "NA" for what cannot be read. Every path is read
// below root ("" on a device). The loads and CPU shares are since the
// previous call, whose sample is the only state kept: one fixed-size record.
//
// app is the running collection's package pattern, or null while idle, and
// collection tells one collection from the next, so that the shares of one
// are never taken against the processes of another. nowNs is the time of the
// sample on the monotonic clock.
std::string readStats(const std::string& root, const PackagePattern* app, uint64_t collection,
                      uint64_t nowNs);

// Forgets the previous sample, as if no GET_STATS had come yet.
void forgetStatsSample();
