// The report matcher and the item scanner on printed text.
#include <gtest/gtest.h>

#include "textmatch/output_match.h"

namespace {

using ks::match_template;
using ks::scan_items;

TEST(MatchTemplate, TimeFieldFollowsItsPrintfForm) {
  struct Case {
    const char* actual;
    const char* templ;
    bool ok;
    double time;
  };
  const Case cases[] = {
      {"T:0.000000123\n", "T:{%11.9f}\n", true, 0.000000123},
      {"T:12.500000000\n", "T:{%11.9f}\n", true, 12.5},  // wider than 11: not cut
      {"T:0.00000012\n", "T:{%11.9f}\n", false, 0},      // eight decimals
      {"T: 0.000000123\n", "T:{%11.9f}\n", false, 0},    // padded beyond the width
      {"T:0.0000001234\n", "T:{%11.9f}\n", false, 0},    // ten decimals
      {"T:   1.500000\n", "T:{%11f}\n", true, 1.5},      // padded to exactly eleven
      {"T:0.000001\n", "T:{%f}\n", true, 0.000001},
      {"T:-0.000001\n", "T:{%f}\n", false, 0},  // a negative time is not a time
      {"T:1\n", "T:{%f}\n", false, 0},
      {"T:x\n", "T:{%f}\n", false, 0},
  };
  for (const Case& c : cases) {
    const auto m = match_template(c.actual, c.templ);
    EXPECT_EQ(m.ok, c.ok) << c.actual << " / " << m.why;
    if (c.ok) {
      ASSERT_TRUE(m.first_double.has_value());
      EXPECT_DOUBLE_EQ(*m.first_double, c.time);
    }
  }
}

TEST(MatchTemplate, DifferencesAreNamedByLine) {
  struct Case {
    const char* actual;
    const char* why_part;
  };
  const char* templ = "Tiempo: {%f}\nA[0][0]=55.000000\nfin \n";
  const Case cases[] = {
      {"Tiempo: 0.1\nA[0][0]=55.000000\nfin \n", "line 1"},
      {"Tiempo: 0.100000\nA[0][0]=56.000000\nfin \n", "line 2"},
      {"Tiempo: 0.100000\nA[0][0]=55.000000\nfin\n", "line 3"},  // the trailing blank
      {"Tiempo: 0.100000\nA[0][0]=55.000000\n", "ends early"},
      {"Tiempo: 0.100000\nA[0][0]=55.000000\nfin \nmore\n", "after the report"},
  };
  for (const Case& c : cases) {
    const auto m = match_template(c.actual, templ);
    EXPECT_FALSE(m.ok) << c.actual;
    EXPECT_NE(m.why.find(c.why_part), std::string::npos) << m.why;
    EXPECT_EQ(m.why.find('\n'), std::string::npos) << "one line: " << m.why;
  }
  EXPECT_TRUE(match_template("Tiempo: 0.100000\nA[0][0]=55.000000\nfin \n", templ).ok);
}

TEST(MatchTemplate, IntegerMarkersCollectValues) {
  const auto m = match_template("Nthreads: 12\nx=-3 y=4\n", "Nthreads: {%d}\nx={%d} y={%d}\n");
  ASSERT_TRUE(m.ok) << m.why;
  EXPECT_EQ(m.integers, (std::vector<long long>{12, -3, 4}));
  EXPECT_FALSE(match_template("Nthreads: \n", "Nthreads: {%d}\n").ok);
}

TEST(ScanItems, InterleavedItemsInAnyOrder) {
  const std::vector<std::string> patterns = {"thread %d suma a[%d] / ", "\n* thread %d suma= %d",
                                             "\nValor = %d\n"};
  const auto scan = scan_items(
      "thread 1 suma a[4] / thread 0 suma a[0] / thread 1 suma a[5] / \n* thread 1 suma= 16\n* "
      "thread 0 suma= 7\nValor = 122\n",
      patterns);
  ASSERT_TRUE(scan.ok) << scan.why;
  ASSERT_EQ(scan.items.size(), 6u);
  EXPECT_EQ(scan.items[0].pattern, 0);
  EXPECT_EQ(scan.items[0].values, (std::vector<long long>{1, 4}));
  EXPECT_EQ(scan.items[3].pattern, 1);
  EXPECT_EQ(scan.items[3].values, (std::vector<long long>{1, 16}));
  EXPECT_EQ(scan.items[5].values, (std::vector<long long>{122}));

  const auto bad = scan_items("thread 1 suma a[4] / thread x", patterns);
  EXPECT_FALSE(bad.ok);
  EXPECT_NE(bad.why.find("byte 21"), std::string::npos) << bad.why;
  EXPECT_TRUE(scan_items("", patterns).ok);
}

}  // namespace
