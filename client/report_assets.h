#pragma once

// What a report inlines, built into the client from the charting library
// that the build installs (node_modules/uplot, its version pinned in
// package.json) and from the page's own script and style (client/page/).
namespace perfprobe {

extern const char kUplotJs[];
extern const char kUplotCss[];
extern const char kUplotLicense[];
extern const char kUplotVersion[];
extern const char kReportJs[];
extern const char kReportCss[];

}  // namespace perfprobe
