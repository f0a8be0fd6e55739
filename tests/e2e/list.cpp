// The inventory against a real X server: what `list` prints must match the windows the test
// opened, under no window manager and under a reparenting one.
#include "tests/support/xserver.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace lumatap::test {
namespace {

nlohmann::json listOn(const XServer& server) {
    auto result = run({LUMATAP_BIN, "list"}, server.env());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return nlohmann::json::parse(result.out);
}

TEST(ListOnX, ShowsTheDisplayAndAnOrdinaryWindow) {
    XServer server(1280, 720);
    XClient client(server);
    auto id = client.window(10, 20, 300, 200, 0xff0000, "title=Red window");
    auto doc = listOn(server);
    ASSERT_EQ(doc["displays"].size(), 1u);
    EXPECT_EQ(doc["displays"][0]["width"], 1280);
    EXPECT_EQ(doc["displays"][0]["height"], 720);
    EXPECT_EQ(doc["displays"][0]["primary"], true);
    ASSERT_EQ(doc["windows"].size(), 1u);
    EXPECT_EQ(doc["windows"][0]["id"], id);
    EXPECT_EQ(doc["windows"][0]["title"], "Red window");
    EXPECT_EQ(doc["windows"][0]["width"], 300);
}

} // namespace
} // namespace lumatap::test
