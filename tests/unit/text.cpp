// Window titles through Xlib's COMPOUND_TEXT converter against a real X server: what Xlib
// decodes and what it passes through unchecked must both come out as well-formed UTF-8.
#include "capture/x11/text.h"

#include "tests/support/xserver.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace lumatap::x11 {
namespace {

const std::string replacement = "\xef\xbf\xbd";

class CompoundText : public testing::Test {
  protected:
    // The converter opens its display on first use, from DISPLAY.
    static void SetUpTestSuite() {
        server = std::make_unique<test::XServer>(320, 240);
        setenv("DISPLAY", server->display().c_str(), 1);
    }
    static void TearDownTestSuite() { server.reset(); }
    static inline std::unique_ptr<test::XServer> server;
};

// Catches the Latin-1 fallback standing in for Xlib: Cyrillic must be decoded, not read as
// Latin-1.
TEST_F(CompoundText, IsDecodedByXlib) {
    EXPECT_EQ(compoundTextToUtf8("\x1b-L\xc0\xc1"), "\xd0\xa0\xd0\xa1");
    EXPECT_EQ(compoundTextToUtf8("a\x1b%G\xe2\x82\xac\x1b%@b"), std::string("a\xe2\x82\xac") + "b");
}

// Catches malformed UTF-8 segments reaching titles as they are: each byte of a code point
// past U+10FFFF or of a surrogate becomes U+FFFD.
TEST_F(CompoundText, MalformedUtf8SegmentsComeOutWellFormed) {
    EXPECT_EQ(compoundTextToUtf8("a\x1b%G\xf6\x8f\x82\xac"),
              "a" + replacement + replacement + replacement + replacement);
    EXPECT_EQ(compoundTextToUtf8("\x1b%G\xed\xa0\x80"), replacement + replacement + replacement);
}

} // namespace
} // namespace lumatap::x11
