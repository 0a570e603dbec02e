// CompactStr: texts up to kInline bytes live inside the object, longer ones
// in a shared buffer; every copy, move and assignment across that boundary
// keeps the text, and a moved-from text stays valid.
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "index/compact_str.hpp"

namespace zarvex {
namespace {

TEST(CompactStr, InlineHeapBoundaryKeepsTheText) {
  constexpr size_t k = CompactStr::kInline;
  for (size_t n : {size_t{0}, size_t{1}, k - 1, k, k + 1, 4 * k}) {
    SCOPED_TRACE(n);
    const std::string text(n, 'a'), other_last = text.empty() ? "b" : text.substr(0, n - 1) + "b";
    CompactStr s(text);
    EXPECT_EQ(s.view(), text);
    EXPECT_EQ(s.is_inline(), n <= k);
    EXPECT_FALSE(s == CompactStr(other_last));  // the last byte counts on both sides of the boundary
    CompactStr copy(s), moved(std::move(copy));
    EXPECT_EQ(moved.view(), text);
    EXPECT_TRUE(copy.view() == text || copy.view().empty());  // moved-from: valid, empty or unchanged
    for (const std::string& before : {std::string("x"), std::string(3 * k, 'x')}) {
      CompactStr target(before), from(text);
      target = s;
      EXPECT_EQ(target.view(), text);
      target = std::move(from);
      EXPECT_EQ(target.view(), text);
      CompactStr& same = target;
      target = same;
      EXPECT_EQ(target.view(), text);
    }
    EXPECT_EQ(s.view(), text);  // the source of the copies is unchanged
  }
}

}  // namespace
}  // namespace zarvex
