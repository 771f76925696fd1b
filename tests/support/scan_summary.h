// A scan's whole outcome as one text, so that two scans of the same bytes
// (held whole, read in windows) can be compared at a glance; for the tests
// and the fuzzer.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "x12scan.h"

namespace testsupport {

/// The four tables of one scan.
struct ScanTables {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
};

/// What a scan produced, as one text: the result code, every field of every
/// table entry and the copy.
inline std::string DescribeScan(int32_t code, const ScanTables& t, const std::string& copy) {
  std::ostringstream out;
  out << "code " << code << "\n";
  for (int32_t i = 1; i <= t.interchanges.Count(); ++i) {
    const InterchangeEntry& e = t.interchanges[i];
    out << "ISA " << e.start << ' ' << e.length << ' ' << e.isaText << ' ' << e.terminator << ' '
        << e.groupsClosed << ' ' << e.ieaGroupCount << ' ' << e.firstGroup << ' ' << e.segmentCount
        << ' ' << e.ta1Count << ' ' << e.firstTa1 << "\n";
  }
  for (int32_t i = 1; i <= t.ta1s.Count(); ++i) {
    const Ta1Entry& e = t.ta1s[i];
    out << "TA1 " << e.controlNumber << '|' << e.date << '|' << e.time << '|' << e.ackCode << '|'
        << e.noteCode << '|' << e.segmentNumber << "\n";
  }
  for (int32_t i = 1; i <= t.groups.Count(); ++i) {
    const GroupEntry& e = t.groups[i];
    out << "GS " << e.interchange << ' ' << e.start << ' ' << e.segmentNumber << ' ' << e.length << ' '
        << e.setsClosed << ' ' << e.geSetCount << ' ' << e.firstSet << ' ' << e.segmentCount << ' '
        << e.functionalId << '|' << e.senderCode << '|' << e.receiverCode << '|' << e.date << '|'
        << e.time << '|' << e.controlNumber << '|' << e.agencyCode << '|' << e.version << "\n";
  }
  for (int32_t i = 1; i <= t.sets.Count(); ++i) {
    const SetEntry& e = t.sets[i];
    out << "ST " << e.interchange << ' ' << e.group << ' ' << e.start << ' ' << e.segmentNumber << ' '
        << e.setId << ' ' << e.length << ' ' << e.segmentCount << ' ' << e.seSegmentCount << ' '
        << e.controlNumber << ' ' << e.loopTag1 << ' ' << e.loopCount1 << ' ' << e.loopTag2 << ' '
        << e.loopCount2 << "\n";
  }
  return out.str() + copy;
}

}  // namespace testsupport
