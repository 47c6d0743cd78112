#include "base/history.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellora {
namespace {

using Small = History<std::string, 5, 2>;

std::vector<std::string> all(const Small& h) { return {h.begin(), h.end()}; }

TEST(HistoryTest, KeepsTheNewestEntriesInOrderAcrossChunkBoundaries) {
  Small h;
  for (int i = 0; i < 12; ++i) {
    h.push_back(std::to_string(i));
    ASSERT_EQ(h.size(), std::min(i + 1, 5));
    EXPECT_EQ(h.back(), std::to_string(i));
  }
  EXPECT_EQ(all(h), (std::vector<std::string>{"7", "8", "9", "10", "11"}));
  EXPECT_EQ(h.front(), "7");
  EXPECT_THROW(h.at(5), std::out_of_range);
  EXPECT_EQ(h.findLast([](const std::string& s) { return s.size() == 1; }), 2u);
  EXPECT_FALSE(h.findLast([](const std::string& s) { return s == "6"; }));
}

TEST(HistoryTest, CopiesShareChunksYetNeverSeeEachOthersChanges) {
  Small a{"a", "b", "c"};
  Small b = a;
  b.push_back("d");
  b.replace(0, "A");
  EXPECT_EQ(all(a), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(all(b), (std::vector<std::string>{"A", "b", "c", "d"}));

  // Equality looks at entries, whether or not chunks are shared or the front fell out at another offset.
  Small c;
  for (const char* s : {"x", "A", "b", "c", "d"}) c.push_back(s);
  EXPECT_NE(b, c);
  Small d;
  for (const char* s : {"y", "z", "x", "A", "b", "c", "d"}) d.push_back(s);
  EXPECT_EQ(c, d);
  Small e = d;
  EXPECT_EQ(e, d);
  e.replace(4, "D");
  EXPECT_NE(e, d);
  d.clear();
  EXPECT_TRUE(d.empty());
  EXPECT_EQ(d, Small{});
}

}  // namespace
}  // namespace pellora
