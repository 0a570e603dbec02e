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

// Every length from empty to past three words, each byte changed in turn:
// the word compares must see a difference anywhere, the overlapping last
// word included, and texts of different lengths never compare equal.
TEST(CompactStr, SameTextSeesEveryByte) {
  for (size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    std::string a(n, ' ');
    for (size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
    const std::string b = a;
    EXPECT_TRUE(same_text(a, b));
    EXPECT_EQ(CompactStr(a) == CompactStr(b), true);
    for (size_t i = 0; i < n; ++i) {
      std::string c = a;
      c[i] = static_cast<char>(c[i] ^ 0x40);
      EXPECT_FALSE(same_text(a, c)) << "byte " << i;
      EXPECT_FALSE(CompactStr(a) == CompactStr(c)) << "byte " << i;
    }
    EXPECT_FALSE(same_text(a, a + "a"));
  }
}

}  // namespace
}  // namespace zarvex
