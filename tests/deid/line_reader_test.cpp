// Reading the unwrapped copy in blocks gives the same lines as reading it
// whole, wherever the block edges fall.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "line_reader.h"
#include "test_util.h"

using namespace testutil;

namespace {

std::vector<std::string> ReadAll(const std::string& path) {
  LineReader reader;
  EXPECT_EQ(reader.Open(path), 0);
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.Next(line)) lines.emplace_back(line);
  EXPECT_FALSE(reader.ReadFailed());
  return lines;
}

}  // namespace

TEST(LineReader, SameLinesAsWholeText) {
  const size_t block = size_t{4} << 20;  // the reader's block size
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"CR LF, LF alone, CR alone, empty lines", "A~\r\nB\nC~\rD~\r\n\r\nE"},
      {"no line end at all", "ISA*X~"},
      {"ends with CR", "A\rB\r"},
      {"0x1A ends the reading", "A\r\nB\x1A\r\nC\r\n"},
      {"0x1A right after a line end", "A\r\n\x1A" "B\r\n"},
      {"CR as the last byte of a block, LF first of the next",
       std::string(block - 1, 'x') + "\r\nNEXT\r\n"},
      {"CR as the last byte of a block, no LF after it", std::string(block - 1, 'x') + "\rNEXT"},
      {"a line longer than two blocks", "A\r\n" + std::string(2 * block + 17, 'y') + "\r\nB"},
      {"0x1A in the second block", std::string(block + 5, 'z') + "\r\nQ\x1A\r\nR"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir.File("copy"), c.text);
    std::vector<std::string> lines = ReadAll(dir.File("copy"));
    std::vector<std::string> expected = EngineLines(c.text);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i;
  }
  EXPECT_EQ(EngineLines("A~\r\nB\nC~\rD~\r\n\r\nE"),
            (std::vector<std::string>{"A~", "B\nC~", "D~", "", "E"}));
}

TEST(LineReader, OpenFailureGivesErrorNumber) {
  LineReader reader;
  EXPECT_EQ(reader.Open("/nonexistent/folder/copy"), ENOENT);
  std::string_view line;
  EXPECT_FALSE(reader.Next(line));
}

// Identifiers, entity codes and qualifiers match exactly: whole elements,
// case-sensitive, and only inside an 835 set.
TEST(ClassifyLine, ExactMatchesInside835Only) {
  const InterchangeTable interchanges = Interchanges({'~'});
  const struct {
    const char* line;
    LineKind kind;
  } cases[] = {
      {"CLP*A~", LineKind::kPlain},  // before any ST: not in an 835 set
      {"ST*83*1~", LineKind::kPlain},
      {"CLP*A~", LineKind::kPlain},
      {"ST*835~", LineKind::kPlain},
      {"CLP~", LineKind::kClaim},
      {"CLPX*A~", LineKind::kPlain},
      {"clp*A~", LineKind::kPlain},
      {"NM1*QC*1*A~", LineKind::kPatient},
      {"NM1*QC~", LineKind::kPatient},
      {"NM1*QCX*1~", LineKind::kPlain},
      {"NM1*qc*1~", LineKind::kPlain},
      {"NM1*IL*1~", LineKind::kInsured},
      {"NM1*74~", LineKind::kCorrected},
      {"NM1*82*1~", LineKind::kPlain},
      {"REF*EA*1~", LineKind::kReference},
      {"REF*EA~", LineKind::kReference},
      {"REF*EAX*1~", LineKind::kPlain},
      {"REF*E~", LineKind::kPlain},
      {"REF*6R*1~", LineKind::kPlain},
      {"SEX*1~", LineKind::kPlain},
      {"CLP*B~", LineKind::kClaim},
      {"SE*9*1~", LineKind::kPlain},
      {"CLP*C~", LineKind::kPlain},  // after SE: not in an 835 set
  };
  LineScanner scanner;
  ClassifyLine(Isa() + "~", scanner, interchanges);
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(ClassifyLine(c.line, scanner, interchanges).kind),
              static_cast<int>(c.kind))
        << c.line;
  }
  EXPECT_EQ(scanner.claimRow, 2);
  // ST01 counts by its first three characters, as the scan counts the
  // claims of a set: "8355" opens an 835 set, " 835" does not.
  ClassifyLine("ST*8355*1~", scanner, interchanges);
  EXPECT_EQ(ClassifyLine("CLP*D~", scanner, interchanges).kind, LineKind::kClaim);
  ClassifyLine("ST* 835*1~", scanner, interchanges);
  EXPECT_EQ(ClassifyLine("CLP*E~", scanner, interchanges).kind, LineKind::kPlain);
}

// The quick searches look at 16 or 64 bytes at a time: wherever the
// separators and CRs fall against those edges, they find what a byte by
// byte search finds, and read nothing after the end of the text (the texts
// below are cut from a longer buffer whose next byte is a separator and a
// CR, which must not be found).
TEST(QuickSearch, SameAsByteByByteAtEveryEdge) {
  std::mt19937 random(835);
  for (size_t size = 0; size <= 140; ++size) {
    for (int round = 0; round < 20; ++round) {
      std::string buffer(size + 1, 'a');
      for (size_t i = 0; i < size; ++i) {
        const unsigned pick = random() % 4;
        buffer[i] = pick == 0 ? '*' : pick == 1 ? '\r' : static_cast<char>('a' + random() % 26);
      }
      if (round == 1) {
        for (size_t i = 15; i < size; i += 16) buffer[i] = '*';  // at the last byte of a chunk
      }
      const std::string text = buffer.substr(0, size);
      buffer[size] = '*';
      SCOPED_TRACE("size " + std::to_string(size) + " round " + std::to_string(round));

      // Elements: a naive cut of the whole text, then as many as asked for.
      std::vector<std::string_view> all;
      size_t start = 0;
      for (size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '*') {
          all.emplace_back(buffer.data() + start, i - start);
          start = i + 1;
        }
      }
      for (int count : {1, 3, 8, 40}) {
        std::string_view got[40];
        const int found = CutElements(std::string_view(buffer.data(), size), '*', got, count);
        ASSERT_EQ(found, std::min<int>(count, static_cast<int>(all.size())));
        for (int i = 0; i < count; ++i) {
          // The last element asked for takes no more than its own piece.
          const std::string_view expected =
              i < found ? all[static_cast<size_t>(i)] : std::string_view();
          ASSERT_EQ(got[i], expected) << "element " << i << " of " << count;
        }
      }

      // The two forms of the 16-byte search agree (the 32-bit Windows
      // build, which has no vector form, takes the second).
      for (size_t at = 0; at + 16 <= size; at += 5) {
        for (unsigned char c : {'*', '\r', 'a'}) {
          ASSERT_EQ(line_detail::ByteMask16(buffer.data() + at, c),
                    line_detail::ByteMask16ByteByByte(buffer.data() + at, c));
        }
      }

      // CRs: found in order, from any point on.
      std::vector<size_t> crs;
      for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\r') crs.push_back(i);
      }
      buffer[size] = '\r';
      line_detail::CrFinder finder(buffer.data(), buffer.data() + size);
      size_t from = 0;
      for (size_t k = 0;; ++k) {
        const char* cr = finder.Next(buffer.data() + from);
        while (k < crs.size() && crs[k] < from) ++k;
        if (k == crs.size()) {
          ASSERT_EQ(cr, nullptr) << "from " << from;
          break;
        }
        ASSERT_EQ(cr, buffer.data() + crs[k]) << "from " << from;
        from = crs[k] + 1 + random() % 3;  // sometimes past the next bytes too
        if (from > size) from = size;
      }
    }
  }
}
