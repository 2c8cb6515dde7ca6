// The nearest-name suggestions of mistyped programs, options and subcommands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/base/text.h"

namespace kd = ks::driver;

TEST(EditDistance, CountsInsertionsDeletionsSubstitutionsAndSwaps) {
  struct Case {
    const char* a;
    const char* b;
    std::size_t distance;
  };
  const Case cases[] = {
      {"", "", 0},
      {"", "abc", 3},
      {"abc", "", 3},
      {"sweep", "sweep", 0},
      {"sweeps", "sweep", 1},
      {"swep", "sweep", 1},
      {"sweap", "sweep", 1},
      {"swepe", "sweep", 1},
      {"--reepat", "--repeat", 1},
      {"tuor", "tour", 1},
      {"plus-statc", "plus-static", 1},
      {"kitten", "sitting", 3},
      {"abcd", "badc", 2},
      {"ca", "abc", 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::edit_distance(c.a, c.b), c.distance) << c.a << " -> " << c.b;
    EXPECT_EQ(kd::edit_distance(c.b, c.a), c.distance) << c.b << " -> " << c.a;
  }
}

TEST(DidYouMean, NamesTheNearestWithinTwoEdits) {
  const std::vector<std::string> subcommands = {"list",    "sweep", "map",    "tour",  "report",
                                                "compare", "probe", "status", "resume"};
  struct Case {
    const char* word;
    const char* hint;
  };
  const Case cases[] = {
      {"swep", " (did you mean 'sweep'?)"},
      {"reprot", " (did you mean 'report'?)"},
      {"statsu", " (did you mean 'status'?)"},
      {"comapre", " (did you mean 'compare'?)"},
      {"mapp", " (did you mean 'map'?)"},
      {"frobnicate", ""},  // nothing near
      {"xy", ""},          // three from "map"
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::did_you_mean(c.word, subcommands), c.hint) << c.word;
  }
  // Equally near: the first listed wins, so the hint does not depend on the order of a map.
  EXPECT_EQ(kd::did_you_mean("abcd", {"abxd", "xbcd"}), " (did you mean 'abxd'?)");
  EXPECT_EQ(kd::did_you_mean("ab", {}), "");
  // A word that differs in every letter of a short name is not a misspelling of it.
  EXPECT_EQ(kd::did_you_mean("xy", {"ab"}), "");
  EXPECT_EQ(kd::did_you_mean("-x", {"-h"}), "");
}

// A label cut to fit: never inside a character, so the cut text stays well-formed UTF-8.
TEST(Shortened, CutsBeforeACharacterOfSeveralBytesAndMarksTheCut) {
  struct Case {
    std::string text;
    std::size_t max_bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"plus-static 1M", 14, "plus-static 1M"},  // fits exactly
      {"plus-static 1M", 13, "plus-static …"},   // one byte over: the last kept byte goes too
      {"abcdef", 4, "abc…"},                     // ASCII: max_bytes - 1 bytes kept
      {"ab\xc3\xb1"
       "cd",
       4, "ab…"},  // the cut falls inside ñ (2 bytes)
      {"ab\xe2\x80\x93"
       "cd",
       5, "ab…"},  // inside – (3 bytes), after its second
      {"ab\xe2\x80\x93"
       "cd",
       4, "ab…"},  // inside –, after its first
      {"ab\xe2\x80\x93"
       "cd",
       6, "ab\xe2\x80\x93…"},  // right after it: kept whole
      {"a\xf0\x9f\x98\x80"
       "bc",
       5, "a…"},                     // inside a 4-byte character
      {"\xc3\xb1\xc3\xb1", 2, "…"},  // nothing fits before the cut
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    const std::string cut = kd::shortened(c.text, c.max_bytes);
    EXPECT_EQ(cut, c.shown) << c.text << " in " << c.max_bytes;
    EXPECT_EQ(kd::displayable(cut), cut) << c.text << " in " << c.max_bytes;
  }
}
