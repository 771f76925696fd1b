// Collecting while the scan writes the copy must come to exactly what the
// engine collects from the copy file: the same output, report and counts,
// however the copy is cut into pieces.
#include <gtest/gtest.h>

#include "collector.h"
#include "feed_copy.h"
#include "random.h"
#include "test_util.h"

using namespace testutil;

namespace {

struct Outcome {
  std::string output, report;
  ScrambleCounts counts;
  bool deferred = false;
};

// The engine's output and report over `copy`, the claims collected either
// from the file (pieceSize 0) or by a CopyCollector fed pieces of
// `pieceSize` bytes as a scan feeds it.
Outcome Collect(const std::string& copy, const InterchangeTable& interchanges, int32_t claims,
                size_t pieceSize) {
  LcgRandom random(7.0f);
  InterchangeTable live;
  // Blocks of a few lines, so that the rewrite works on many of them,
  // most of them from the marks of their collected lines alone.
  CopyCollector collector(live, random, /*blockBytes=*/48);
  Outcome outcome;
  if (pieceSize > 0) {
    testsupport::FeedLikeTheScan(copy, interchanges, pieceSize, live, collector);
    outcome.deferred = !collector.Complete();
  }
  const EngineRun run = RunEngine(copy, interchanges, Sets835(claims), random, /*listing=*/true,
                                  pieceSize > 0 ? &collector : nullptr);
  outcome.output = run.output;
  std::string report = run.report;
  report.replace(report.find(run.outputPath), run.outputPath.size(), "OUT");
  outcome.report = report.substr(report.find("\r\n"));  // not the start time
  outcome.counts = run.result.counts;
  return outcome;
}

}  // namespace

TEST(CopyCollector, SameAsCollectingFromTheFile) {
  const struct {
    const char* name;
    std::string copy;
    InterchangeTable interchanges;
    int32_t claims;
    bool defers;  // an ISA line the scan did not record
  } cases[] = {
      {"one interchange, lines across pieces",
       UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1*2*3*4*5*P1", "NM1*QC*1*DOE*JO*Q***MI*X",
                      "REF*EA*R1", "CLP*B*1*2*3*4*5*P2", "NM1*IL*1*ROE*RI", "NM1*74*1*COE",
                      "REF*1L*G", "SE*9*1", "IEA*1*1"}),
       Interchanges({'~'}), 2, false},
      {"lines after the interchange, a line without its terminator",
       UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1*2*3*4*5*P1", "NM1*QC*1*DOE*JO", "CLP*B*1",
                      "NM1*QC*1*ROE*RI", "REF*EA*OVER", "SE*6*1", "IEA*1*1"}) +
           "DTM*405*20260101\r\n" + UnwrappedCopy({"CLP*C*1", "NM1*IL*1*LAST"}),
       Interchanges({'~'}), 2, false},
      {"CR terminator, LF line ends",
       UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1*2*3*4*5*P1", "NM1*QC*1*DOE*JO", "CLP*B*1",
                      "NM1*QC*1*ROE*RI", "SE*6*1", "IEA*1*1"},
                     '\r'),
       Interchanges({'\r'}), 2, false},
      {"end-of-file mark",
       UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1", "NM1*QC*1*SEEN"}) + "\x1A" +
           UnwrappedCopy({"NM1*QC*1*HIDDEN", "SE*3*1", "IEA*1*1"}),
       Interchanges({'~'}), 1, false},
      {"last line without a line end",
       UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1", "CLP*B*2"}) + "NM1*QC*1*LAST~",
       Interchanges({'~'}), 2, false},
      {"ISA past the table",
       UnwrappedCopy({Isa('*'), "ST*835*1", "CLP*A*1*2*3*4*5*PAY1", "SE*2*1", "IEA*1*1"}, '~') +
           UnwrappedCopy({Isa('|', '^'), "ST|835|2", "CLP|B|1|2|3|4|5|PAY2", "NM1|QC|1|X"},
                         '\n') +
           UnwrappedCopy({"IEA|1|2", Isa('!'), "CLP!C!1!2!3!4!5!PAY3", "NM1!QC!1!Y", "SE!4!2"},
                         '\n'),
       Interchanges({'~', '\n'}), 3, true},
      {"ISA segment inside an open interchange",
       UnwrappedCopy({Isa('*'), "ST*835*1", "CLP*A*1*2*3*4*5*PAY1", "NM1*QC*1*X"}, '~') +
           UnwrappedCopy({Isa('!'), "CLP!C!1", "CLP*D*1", "SE*4*1", "IEA*1*1"}, '~'),
       Interchanges({'~'}), 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome expected = Collect(c.copy, c.interchanges, c.claims, 0);
    ASSERT_FALSE(expected.output.empty());
    for (size_t pieceSize : {size_t{1}, size_t{2}, size_t{7}, size_t{64}, c.copy.size()}) {
      SCOPED_TRACE("pieces of " + std::to_string(pieceSize));
      const Outcome streamed = Collect(c.copy, c.interchanges, c.claims, pieceSize);
      EXPECT_EQ(streamed.output, expected.output);
      EXPECT_EQ(streamed.report, expected.report);
      EXPECT_EQ(streamed.counts.segmentsIn, expected.counts.segmentsIn);
      EXPECT_EQ(streamed.counts.totalChanged, expected.counts.totalChanged);
      EXPECT_EQ(streamed.deferred, c.defers);
    }
  }
}

// Blocks of marks of every size, one after the other, across the chunks'
// ends (the first chunks are small, a block larger than a chunk gets one of
// its own): every block keeps exactly its own marks, in order.
TEST(LineMarks, EveryBlockKeepsItsMarksAcrossChunks) {
  LineMarks marks;
  struct Block {
    LineMark* first;
    size_t count;
  };
  std::vector<Block> blocks;
  const size_t sizes[] = {0, 1, 9000, 9000, 20000, 3, 700000, 0, 1500000, 400000, 5};
  uint32_t next = 0;
  for (size_t size : sizes) {
    blocks.push_back({marks.Next(), 0});
    for (size_t k = 0; k < size; ++k) {
      Block& block = blocks.back();
      marks.Add(block.first, block.count, LineMark{next++});
      ++block.count;
    }
  }
  uint32_t expected = 0;
  for (size_t b = 0; b < blocks.size(); ++b) {
    ASSERT_EQ(blocks[b].count, sizes[b]);
    for (size_t k = 0; k < blocks[b].count; ++k) {
      ASSERT_EQ(blocks[b].first[k].bits, expected++) << "block " << b << " mark " << k;
    }
  }
}
