// Text placed in the emulator's pages cannot open tags, entities or attributes.
#include "server/HtmlText.h"

#include <gtest/gtest.h>

namespace nb::server {
namespace {

TEST(HtmlTextTest, Escape) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain ünï text", "plain ünï text"},
      {"<script>a & b</script>", "&lt;script&gt;a &amp; b&lt;/script&gt;"},
      {"\"quoted\" 'single'", "&quot;quoted&quot; 'single'"},
      {"&amp;", "&amp;amp;"},  // escaped twice stays visible as written
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HtmlText::escape(c.in), c.out) << c.in;
  }
}

}  // namespace
}  // namespace nb::server
