// The CPU frequency report over a small directory tree that the input
// describes, built for real under a fresh temporary root each time and held
// to a model that knows what each entry should read as.
//
// The input is a list of entries, one per line:
//
//   <kind><pad><name>[=<content>]
//
// kind  F  a CPU: <name>/cpufreq/scaling_cur_freq holds <content>
//       D  a CPU-like folder without cpufreq
//       E  a CPU folder whose cpufreq folder is empty
//       C  a CPU whose scaling_cur_freq is a folder
//       Q  a CPU whose cpufreq is a plain file
//       P  a plain file <name> holding <content>
//       G  a policy folder: <name>/scaling_cur_freq holds <content>
//       L  a CPU whose cpufreq is a link to "../<content>", as sysfs links
//          cpuN/cpufreq to a policy folder
// pad   a digit d pads the name with 'x' until the frequency path is 123 + d
//       bytes long, so that names land on both sides of the 128-byte limit;
//       any other byte leaves the name as it is
// name and content take the escapes \n \0 \\ \xHH; in a name '/' and zero
// bytes become '_'. Unknown kinds, duplicate names, "." and ".." are left out.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "cpuinfo/cpuinfo.h"
#include "fuzz_common.h"

namespace {

constexpr size_t kMaxEntries = 12;
constexpr size_t kMaxNameBytes = 200;
constexpr size_t kMaxContentBytes = 1024;
constexpr size_t kPathLimit = 128;
constexpr char kFreqSuffix[] = "/cpufreq/scaling_cur_freq";

struct Entry {
  char kind;
  std::string name;
  std::string content;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      out += raw[i];
      continue;
    }
    const char c = raw[i + 1];
    if (c == 'n') {
      out += '\n';
      ++i;
    } else if (c == '0') {
      out += '\0';
      ++i;
    } else if (c == '\\') {
      out += '\\';
      ++i;
    } else if (c == 'x' && i + 3 < raw.size() && hexValue(raw[i + 2]) >= 0 &&
               hexValue(raw[i + 3]) >= 0) {
      out += static_cast<char>(hexValue(raw[i + 2]) * 16 + hexValue(raw[i + 3]));
      i += 3;
    } else {
      out += '\\';
    }
  }
  return out;
}

// A byte string that can be a directory entry's name, or "" when none fits.
std::string entryName(const std::string& raw) {
  std::string name = unescape(raw).substr(0, kMaxNameBytes);
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  if (name == "." || name == "..") return "";
  return name;
}

size_t freqPathSize(const std::string& root, const std::string& name) {
  return root.size() + 1 + name.size() + strlen(kFreqSuffix);
}

std::vector<Entry> decode(const uint8_t* data, size_t size, const std::string& root) {
  std::vector<Entry> entries;
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < input.size() && entries.size() < kMaxEntries) {
    size_t end = input.find('\n', pos);
    if (end == std::string::npos) end = input.size();
    const std::string record = input.substr(pos, end - pos);
    pos = end + 1;
    if (record.size() < 2 || strchr("FDECQPGL", record[0]) == nullptr || record[0] == '\0')
      continue;

    Entry e;
    e.kind = record[0];
    const size_t eq = record.find('=', 2);
    e.name = entryName(record.substr(2, eq == std::string::npos ? std::string::npos : eq - 2));
    const std::string rawContent = eq == std::string::npos ? "" : record.substr(eq + 1);
    e.content =
        e.kind == 'L' ? entryName(rawContent) : unescape(rawContent).substr(0, kMaxContentBytes);
    if (e.name.empty() || (e.kind == 'L' && e.content.empty())) continue;

    if (record[1] >= '0' && record[1] <= '9') {
      const size_t want = 123 + static_cast<size_t>(record[1] - '0');
      const size_t have = freqPathSize(root, e.name);
      if (have < want) e.name.append(want - have, 'x');
    }
    const bool taken = std::any_of(entries.begin(), entries.end(),
                                   [&](const Entry& other) { return other.name == e.name; });
    if (!taken) entries.push_back(std::move(e));
  }
  return entries;
}

void mustMkdir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    perror(("mkdir " + path).c_str());
    abort();
  }
}

void mustWrite(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    perror(("write " + path).c_str());
    abort();
  }
  close(fd);
}

void build(const std::string& root, const Entry& e) {
  const std::string dir = root + "/" + e.name;
  switch (e.kind) {
    case 'F':
      mustMkdir(dir);
      mustMkdir(dir + "/cpufreq");
      mustWrite(dir + "/cpufreq/scaling_cur_freq", e.content);
      break;
    case 'D':
      mustMkdir(dir);
      break;
    case 'E':
      mustMkdir(dir);
      mustMkdir(dir + "/cpufreq");
      break;
    case 'C':
      mustMkdir(dir);
      mustMkdir(dir + "/cpufreq");
      mustMkdir(dir + "/cpufreq/scaling_cur_freq");
      break;
    case 'Q':
      mustMkdir(dir);
      mustWrite(dir + "/cpufreq", e.content);
      break;
    case 'P':
      mustWrite(dir, e.content);
      break;
    case 'G':
      mustMkdir(dir);
      mustWrite(dir + "/scaling_cur_freq", e.content);
      break;
    case 'L':
      mustMkdir(dir);
      if (symlink(("../" + e.content).c_str(), (dir + "/cpufreq").c_str()) != 0) {
        perror(("symlink " + dir).c_str());
        abort();
      }
      break;
  }
}

// What the model expects of a name: a CPU is any name not starting with '.'
// that holds "cpu" followed by a digit somewhere.
bool looksLikeCpu(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  for (size_t i = 0; i + 4 <= name.size(); ++i) {
    if (name.compare(i, 3, "cpu") == 0 && name[i + 3] >= '0' && name[i + 3] <= '9') return true;
  }
  return false;
}

bool bytewiseLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

// The file's bytes less the last one (the kernel's line feed).
std::string valueOf(const std::string& content) {
  return content.empty() ? content : content.substr(0, content.size() - 1);
}

std::string expectedReport(const std::string& root, const std::vector<Entry>& entries) {
  std::map<std::string, const Entry*> byName;
  for (const Entry& e : entries) byName[e.name] = &e;

  std::vector<const Entry*> cpus;
  for (const Entry& e : entries) {
    if (looksLikeCpu(e.name)) cpus.push_back(&e);
  }
  std::sort(cpus.begin(), cpus.end(),
            [](const Entry* a, const Entry* b) { return bytewiseLess(a->name, b->name); });

  std::string report = "cpuFreq";
  for (size_t i = 0; i < cpus.size(); ++i) {
    const Entry& e = *cpus[i];
    std::string value = "NA";
    if (freqPathSize(root, e.name) < kPathLimit) {
      if (e.kind == 'F') {
        value = valueOf(e.content);
      } else if (e.kind == 'L') {
        // Through the link only a policy folder has the file right below it.
        const auto target = byName.find(e.content);
        if (target != byName.end() && target->second->kind == 'G')
          value = valueOf(target->second->content);
      }
    }
    report += i == 0 ? ":" : ",";
    report += value;
  }
  return report;
}

std::string describe(const std::vector<Entry>& entries) {
  std::string out;
  for (const Entry& e : entries) {
    out += "  ";
    out += e.kind;
    out += " " + fuzz::show(e.name) + " = " + fuzz::show(e.content) + "\n";
  }
  return out;
}

// tmpfs when there is one: the tree is rebuilt for every input.
std::string tempTemplate() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
    return "/dev/shm/ppfz.XXXXXX";
  const char* tmp = getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ppfz.XXXXXX";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string templ = tempTemplate();
  if (mkdtemp(templ.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  const std::string root = templ;

  const std::vector<Entry> entries = decode(data, size, root);
  for (const Entry& e : entries) build(root, e);

  initFreqInfo(root);
  const std::string report = readCPUFreq(root);
  const std::string expected = expectedReport(root, entries);

  // Gone before any check, so that a failing input leaves nothing behind.
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  if (ec) {
    fprintf(stderr, "removing %s: %s\n", root.c_str(), ec.message().c_str());
    abort();
  }
  FUZZ_CHECK(report == expected, "root %s, entries:\n%sgot      %s\nexpected %s", root.c_str(),
             describe(entries).c_str(), fuzz::show(report).c_str(), fuzz::show(expected).c_str());

  // A root that is gone lists no CPU at all.
  initFreqInfo(root);
  const std::string empty = readCPUFreq(root);
  FUZZ_CHECK(empty == "cpuFreq", "after removing the root: got %s", fuzz::show(empty).c_str());
  return 0;
}
