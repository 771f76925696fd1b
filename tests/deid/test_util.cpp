#include "test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace testutil {

namespace {

void RemoveTree(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    chmod(path.c_str(), 0700);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::vector<std::string> Split(const std::string& text, int separator) {
  std::vector<std::string> pieces;
  if (separator < 0) return {text};
  size_t start = 0;
  for (;;) {
    size_t at = text.find(static_cast<char>(separator), start);
    if (at == std::string::npos) break;
    pieces.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

bool IsMemberId(const std::string& value) {
  return Shape(value) == "999999999A" && value[0] != '0';
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/deidtest-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::Entries() const { return FolderEntries(path_); }

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<OpenDescriptor> OpenDescriptors(const std::string& pid) {
  std::vector<OpenDescriptor> open;
  const std::string folder = "/proc/" + pid + "/fd";
  for (const std::string& name : FolderEntries(folder)) {
    char target[4096];
    const ssize_t length = readlink((folder + "/" + name).c_str(), target, sizeof target);
    if (length > 0) open.push_back({folder + "/" + name, std::string(target, static_cast<size_t>(length))});
  }
  return open;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
  std::fclose(file);
  return bytes;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string Isa(char separator, char subSeparator) {
  std::string isa =
      "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       "
      "*240101*1200*^*00501*000000001*0*P*:";
  std::replace(isa.begin(), isa.end(), '*', separator);
  isa.back() = subSeparator;
  return isa;
}

std::string UnwrappedCopy(const std::vector<std::string>& segments, char term) {
  std::string copy;
  for (const std::string& segment : segments) {
    copy += segment;
    copy += term;
    copy += term == '\r' ? "\n" : "\r\n";
  }
  return copy;
}

std::string Shape(const std::string& text) {
  std::string shape = text;
  for (char& c : shape) {
    if (c >= '0' && c <= '9') c = '9';
    else if (c >= 'A' && c <= 'Z') c = 'A';
  }
  return shape;
}

std::vector<std::string> EngineLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t end = text.find('\x1A');
  if (end == std::string::npos) end = text.size();
  size_t start = 0;
  while (start < end) {
    size_t cr = text.find('\r', start);
    if (cr == std::string::npos || cr >= end) {
      lines.push_back(text.substr(start, end - start));
      break;
    }
    lines.push_back(text.substr(start, cr - start));
    start = cr + 1;
    if (start < end && text[start] == '\n') ++start;
  }
  return lines;
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t at = text.find("\r\n", start);
    if (at == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, at - start));
    start = at + 2;
  }
  return lines;
}

InterchangeTable Interchanges(const std::vector<char>& terminators) {
  InterchangeTable table;
  for (size_t i = 0; i < terminators.size(); ++i) {
    if (i > 0) table.Grow();
    table[static_cast<int32_t>(i + 1)].terminator = static_cast<unsigned char>(terminators[i]);
    table[static_cast<int32_t>(i + 1)].length = 1;
  }
  return table;
}

SetTable Sets835(int32_t claims) {
  SetTable sets;
  std::strcpy(sets[1].setId, "835");
  sets[1].loopCount1 = claims;
  return sets;
}

EngineRun RunEngine(const std::string& copy, const InterchangeTable& interchanges,
                    const SetTable& sets, RandomSource& random, bool listing,
                    CopyCollector* collector, bool thorough) {
  TempDir dir;
  WriteFile(dir.File("copy"), copy);
  FakeDialog dialog;
  dialog.output = dir.File("out.txt");
  dialog.listing = listing;
  dialog.thorough = thorough;
  RecordingNotice notice;
  GroupTable groups;
  EngineRun run;
  run.result = ScrambleFile(dialog, dir.File("copy"), dir.File("report"), interchanges, groups,
                            sets, random, notice, ProgressTarget(), collector);
  run.outputPath = dialog.output;
  run.outputExists = FileExists(dialog.output);
  run.output = ReadFile(dialog.output);
  run.report = ReadFile(dir.File("report"));
  run.notices = notice.shown;
  run.statuses = dialog.statuses;
  return run;
}

bool ReportCounts(const std::string& report, ScrambleCounts& counts) {
  const struct {
    const char* label;
    int64_t ScrambleCounts::*field;
  } kLabels[] = {
      {" Segments in                 : ", &ScrambleCounts::segmentsIn},
      {" Claims Found                : ", &ScrambleCounts::claimsFound},
      {" CLP Segments Changed        : ", &ScrambleCounts::clpChanged},
      {" Patient ID Segments Changed : ", &ScrambleCounts::patientChanged},
      {" Insured ID Segments Changed : ", &ScrambleCounts::insuredChanged},
      {" Other   ID Segments Changed : ", &ScrambleCounts::otherChanged},
      {" Total      Segments Changed : ", &ScrambleCounts::totalChanged},
  };
  std::vector<std::string> lines = CrLfLines(report);
  for (const auto& entry : kLabels) {
    auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& text) {
      return text.rfind(entry.label, 0) == 0;
    });
    if (line == lines.end()) return false;
    std::string digits;
    for (char c : line->substr(std::strlen(entry.label))) {
      if (c >= '0' && c <= '9') digits += c;
    }
    counts.*entry.field = digits.empty() ? -1 : std::stoll(digits);
  }
  return true;
}

std::string CheckScramble(const std::string& copy, const std::string& output,
                          const InterchangeTable& interchanges, int64_t claimCount,
                          const ScrambleCounts& counts) {
  std::vector<std::string> in = EngineLines(copy);
  std::vector<std::string> out = CrLfLines(output);
  if (in.size() != out.size()) {
    return "output has " + std::to_string(out.size()) + " lines, copy " +
           std::to_string(in.size());
  }
  // Column names: segment kind + element position.
  std::map<std::string, std::map<int64_t, std::string>> collected;  // column -> row -> value
  std::map<std::string, std::map<int64_t, std::string>> written;
  ScrambleCounts expected;
  expected.segmentsIn = static_cast<int64_t>(in.size());
  expected.claimsFound = claimCount;
  int separator = -1;
  int32_t interchange = 0;
  char term = 0;
  bool in835 = false;
  int64_t row = 0;
  bool open = false;  // an ISA inside an open interchange is an ordinary segment
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& line = in[i];
    const std::string where = "line " + std::to_string(i + 1) + " (" + line + "): ";
    const bool header = !open && line.compare(0, 3, "ISA") == 0;
    if (header) {
      separator = line.size() > 3 ? static_cast<unsigned char>(line[3]) : -1;
      ++interchange;
      open = true;
    }
    int32_t entry = std::min(std::max(interchange, 1), interchanges.Count());
    term = static_cast<char>(interchanges[entry].terminator);
    std::string asRead = line;
    if (asRead.empty() || asRead.back() != term) asRead += term;
    std::string body = line;
    if (!body.empty() && body.back() == term) body.pop_back();
    std::vector<std::string> pieces = Split(body, separator);
    std::vector<int> replaced;
    std::string kind;
    if (!header) {
      const std::string& tag = pieces[0];
      if (tag == "IEA") open = false;
      auto element = [&](size_t p) { return p < pieces.size() ? pieces[p] : std::string(); };
      if (tag == "ST") in835 = element(1).compare(0, 3, "835") == 0;
      if (in835) {
        if (tag == "SE") {
          in835 = false;
        } else if (tag == "CLP") {
          ++row;
          kind = "CLP";
          replaced = {1, 7};
          ++expected.clpChanged;
        } else if (tag == "NM1" && (element(1) == "QC" || element(1) == "IL" || element(1) == "74")) {
          kind = "NM1" + element(1);
          replaced = {3, 4, 5, 9};
          if (element(1) == "QC") {
            ++expected.patientChanged;
          } else if (element(1) == "IL") {
            ++expected.insuredChanged;
          } else {
            ++expected.otherChanged;
          }
        } else if (tag == "REF") {
          static const std::set<std::string> kRefs = {"BB", "EA", "1G", "SY",
                                                      "1L", "A6", "1W", "G3"};
          if (kRefs.count(element(1))) {
            kind = "REF" + element(1);
            replaced = {2};
            ++expected.otherChanged;
          }
        }
      }
      if (!kind.empty() && row > claimCount) return where + "a claim beyond the count was written";
    }
    if (kind.empty()) {
      if (out[i] != asRead) return where + "changed to " + out[i];
      continue;
    }
    ++expected.totalChanged;
    if (out[i].empty() || out[i].back() != term) return where + "no terminator: " + out[i];
    for (int p : replaced) {
      if (kind.compare(0, 3, "NM1") == 0 && p == 9) continue;
      collected[kind + "/" + std::to_string(p)][row] =
          static_cast<size_t>(p) < pieces.size() ? pieces[p] : std::string();
    }
    std::vector<std::string> outPieces = Split(out[i].substr(0, out[i].size() - 1), separator);
    if (outPieces.size() != pieces.size()) return where + "element count changed: " + out[i];
    for (size_t p = 0; p < pieces.size(); ++p) {
      const bool isReplaced = std::find(replaced.begin(), replaced.end(), static_cast<int>(p)) !=
                              replaced.end();
      if (!isReplaced) {
        if (outPieces[p] != pieces[p]) return where + "element " + std::to_string(p) + " changed";
        continue;
      }
      const std::string column = kind + "/" + std::to_string(p);
      const bool memberId = kind.compare(0, 3, "NM1") == 0 && p == 9;
      auto& cell = written[column];
      auto known = cell.find(row);
      if (known != cell.end() && known->second != outPieces[p]) {
        return where + "two values for one cell in " + column;
      }
      cell[row] = outPieces[p];
      if (memberId && !outPieces[p].empty() && !IsMemberId(outPieces[p])) {
        return where + "not a member id: " + outPieces[p];
      }
    }
  }
  // Every column: row 0's values (which belong to no claim) are written
  // empty; the claim rows' written values are drawn from the collected ones
  // (empty cells included).
  for (const auto& [column, rows] : written) {
    const bool memberId = column.size() > 2 && column.compare(column.size() - 2, 2, "/9") == 0;
    std::multiset<std::string> pool;
    if (!memberId) {
      for (int64_t r = 1; r <= claimCount; ++r) {
        auto found = collected[column].find(r);
        pool.insert(found == collected[column].end() ? std::string() : found->second);
      }
    }
    for (const auto& [r, value] : rows) {
      if (r == 0) {
        if (!memberId && !value.empty()) return column + ": row 0 value written";
        continue;
      }
      if (memberId) continue;
      auto found = pool.find(value);
      if (found == pool.end()) return column + ": value '" + value + "' was never collected";
      pool.erase(found);
    }
  }
  const int64_t ScrambleCounts::*fields[] = {
      &ScrambleCounts::segmentsIn,     &ScrambleCounts::claimsFound,
      &ScrambleCounts::clpChanged,     &ScrambleCounts::patientChanged,
      &ScrambleCounts::insuredChanged, &ScrambleCounts::otherChanged,
      &ScrambleCounts::totalChanged};
  const char* names[] = {"segments in", "claims", "CLP", "patient", "insured", "other", "total"};
  for (int f = 0; f < 7; ++f) {
    if (counts.*fields[f] != expected.*fields[f]) {
      return std::string("count ") + names[f] + " is " + std::to_string(counts.*fields[f]) +
             ", expected " + std::to_string(expected.*fields[f]);
    }
  }
  return std::string();
}

}  // namespace testutil
