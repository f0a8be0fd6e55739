// `list` against a real X server: the document must match the windows the test opened, with
// no window manager and under a reparenting one, on one monitor and on several.
#include "tests/support/xserver.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace lumatap::test {
namespace {

using nlohmann::json;

json listOn(const XServer& server) {
    auto result = run({LUMATAP_BIN, "list"}, server.env());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(result.out.empty() || result.out.back() == '\n');
    return json::parse(result.out);
}

json entry(const json& doc, std::uint32_t id) {
    for (const auto& w : doc["windows"]) {
        if (w["id"] == id) {
            return w;
        }
    }
    return nullptr;
}

// A window of the test process itself, which is the parent (the host) of the tool it runs.
class HostWindow {
  public:
    explicit HostWindow(const XServer& server) {
        connection_ = xcb_connect(server.display().c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        std::uint32_t pixel = 0x808080;
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 600, 400,
                          0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                          &pixel);
        xcb_map_window(connection_, window_);
        free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    ~HostWindow() { xcb_disconnect(connection_); }
    std::uint32_t id() const { return window_; }

  private:
    xcb_connection_t* connection_;
    xcb_window_t window_;
};

struct Desk {
    std::uint32_t listed, small, menu, hidden, dock, below, front;
};

Desk openDesk(XClient& client) {
    Desk d{};
    d.listed = client.window(10, 20, 300, 200, 0xff0000, "class=Alpha title=Red window");
    d.small = client.window(400, 300, 159, 500, 0x00ff00, "title=narrow");
    d.menu = client.window(50, 50, 300, 300, 0x0000ff, "override=1 title=menu");
    d.hidden = client.window(60, 60, 500, 500, 0xffffff, "map=0 title=hidden");
    d.dock = client.window(0, 0, 800, 200, 0x000000, "type=dock title=dock");
    d.below = client.window(0, 300, 400, 300, 0x000000, "below=1 title=below");
    d.front = client.window(700, 100, 400, 300, 0x00ffff, "class=Alpha title=Grüße ✓");
    return d;
}

// Catches windows wrongly listed or dropped (a window kept below the others is still a normal
// one), wrong sizes, names and front-to-back ranks.
TEST(ListOnX, MatchesTheWindowsOnTheScreen) {
    XServer server(1280, 720);
    XClient client(server);
    HostWindow host(server);
    Desk d = openDesk(client);
    json doc = listOn(server);

    ASSERT_EQ(doc["displays"].size(), 1u);
    EXPECT_EQ(doc["displays"][0]["width"], 1280);
    EXPECT_EQ(doc["displays"][0]["height"], 720);
    EXPECT_EQ(doc["displays"][0]["left"], 0);
    EXPECT_EQ(doc["displays"][0]["primary"], true);

    // The window kept below the others is a normal window all the same.
    ASSERT_EQ(doc["windows"].size(), 3u) << doc.dump();
    json front = doc["windows"][0];
    json back = doc["windows"][2];
    EXPECT_EQ(doc["windows"][1]["id"], d.below);
    EXPECT_EQ(doc["windows"][1]["app"], "LumatapTest");
    EXPECT_EQ(front["id"], d.front);
    EXPECT_EQ(front["title"], "Grüße ✓");
    EXPECT_EQ(front["app"], "Alpha");
    EXPECT_EQ(front["rank"], 0);
    EXPECT_EQ(back["id"], d.listed);
    EXPECT_EQ(back,
              json::parse(R"({"title":"Red window","app":"Alpha","width":300,"height":200,
                                    "id":)" +
                          std::to_string(d.listed) + R"(,"rank":)" + back["rank"].dump() + "}"));
    // Everything between them in the stacking order takes a place, listed or not.
    EXPECT_GT(back["rank"].get<int>(), 3);
}

// Catches frames of a reparenting manager listed in place of the clients, or their sizes.
TEST(ListOnX, ListsClientWindowsUnderAReparentingManager) {
    XServer server(1280, 720);
    server.startWindowManager();
    XClient client(server);
    HostWindow host(server);
    Desk d = openDesk(client);
    json doc = listOn(server);
    ASSERT_EQ(doc["windows"].size(), 3u) << doc.dump();
    EXPECT_FALSE(entry(doc, d.below).is_null());
    json listed = entry(doc, d.listed);
    ASSERT_FALSE(listed.is_null()) << doc.dump();
    EXPECT_EQ(listed["width"], 300);
    EXPECT_EQ(listed["height"], 200);
    EXPECT_EQ(listed["title"], "Red window");
    EXPECT_FALSE(entry(doc, d.front).is_null());
    EXPECT_LT(entry(doc, d.front)["rank"], 100000);
}

// Catches monitors missed, misplaced or the primary one not flagged.
TEST(ListOnX, ShowsEveryMonitorAndThePrimaryOne) {
    XServer server(1920, 1080);
    ASSERT_TRUE(
        server.command({"xrandr", "--setmonitor", "*left", "960/254x1080/286+0+0", "none"}));
    ASSERT_TRUE(
        server.command({"xrandr", "--setmonitor", "right", "960/254x1080/286+960+0", "none"}));
    json doc = listOn(server);
    std::map<int, json> byLeft;
    int primaries = 0;
    for (const auto& d : doc["displays"]) {
        primaries += d["primary"].get<bool>();
        if (d["width"] == 960) {
            byLeft[d["left"]] = d;
        }
    }
    EXPECT_EQ(primaries, 1);
    ASSERT_EQ(byLeft.size(), 2u) << doc.dump();
    EXPECT_EQ(byLeft[0]["primary"], true);
    EXPECT_EQ(byLeft[960]["primary"], false);
    EXPECT_EQ(byLeft[960]["height"], 1080);
    EXPECT_NE(byLeft[0]["id"], byLeft[960]["id"]);
}

// Catches a display id that names nothing by the next run: the monitor's name atom was the id,
// and a server that all clients have left numbers its atoms afresh.
TEST(ListOnX, ADisplayKeepsItsIdFromOneRunToTheNext) {
    XServer server(640, 480, 24, {}, true);
    json before = listOn(server);
    // A client that interns atoms of its own first, as most programs do when they start.
    XClient client(server);
    client.window(10, 10, 200, 150, 0x336699, "class=Late title=late");
    json after = listOn(server);
    ASSERT_EQ(before["displays"].size(), 1u);
    ASSERT_EQ(after["displays"].size(), 1u);
    EXPECT_EQ(before["displays"][0]["id"], after["displays"][0]["id"]);
    auto still =
        run({LUMATAP_BIN, "thumb", "display", after["displays"][0]["id"].dump(), "64", "48"},
            server.env());
    EXPECT_EQ(still.status, 0) << still.err;
}

// Catches a missing X server reported as anything but an error line with status 1.
TEST(ListOnX, WithoutAnXServerFailsWithTheDisplayItCouldNotOpen) {
    ProcessOptions options;
    options.env["DISPLAY"] = ":987";
    auto result = run({LUMATAP_BIN, "list"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "error: cannot open display \":987\"\n");
}

// Writes an authorization file with one MIT-MAGIC-COOKIE-1 of 16 `fill` bytes, for the
// display `number` of the host `family` names (256: local, 65535: any host).
void writeCookie(const std::string& path, int family, const std::string& number, char fill) {
    std::ofstream file(path, std::ios::binary);
    auto field = [&](const std::string& text) {
        file.put(static_cast<char>(text.size() >> 8)).put(static_cast<char>(text.size()));
        file << text;
    };
    file.put(static_cast<char>(family >> 8)).put(static_cast<char>(family));
    field(family == 256 ? "localhost" : "");
    field(number);
    field("MIT-MAGIC-COOKIE-1");
    field(std::string(16, fill));
}

// Catches a refusal for want of authorization reported as a plain error (a wrong cookie was
// "error: cannot open display ...: Invalid MIT-MAGIC-COOKIE-1 key"), or the X library's own
// words leaking onto standard error.
TEST(ListOnX, EveryAuthorizationRefusalIsAPermissionRefusal) {
    // The server knows one secret cookie, which the tool is not given.
    std::string secret = testing::TempDir() + "/lumatap-xauth-" + std::to_string(getpid());
    writeCookie(secret, 256, "0", '\x5a');
    XServer server(640, 480, 24, {"-auth", secret});
    // A cookie for this very display, but not the server's.
    std::string wrong = secret + ".wrong";
    writeCookie(wrong, 65535, server.display().substr(1), '\x33');
    for (const std::string& file : {secret + ".none", wrong}) {
        ProcessOptions options = server.env();
        options.env["XAUTHORITY"] = file;
        auto result = run({LUMATAP_BIN, "list"}, options);
        EXPECT_EQ(result.status, 2) << file;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "permission: Screen Recording is not allowed for Beamora\n") << file;
    }
    std::remove(secret.c_str());
    std::remove(wrong.c_str());
}

// An X server that accepts the connection and never answers: the tool waits on it for good.
class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        for (number_ = 900 + getpid() % 90;; ++number_) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::string path = "/tmp/.X11-unix/X" + std::to_string(number_);
            // Abstract names are tried first by the X client library and leave no files behind.
            std::memcpy(address.sun_path + 1, path.data(), path.size());
            auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
            if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0) {
                break;
            }
        }
        listen(fd_, 8);
    }
    ~SilentServer() { close(fd_); }
    std::string display() const { return ":" + std::to_string(number_); }

  private:
    int fd_;
    int number_;
};

// Catches a tool that outlives its host when the platform never answers.
TEST(ParentWatch, EndsTheToolSilentlyOnceItsParentHasGone) {
    SilentServer silent;
    // Orphans come to this process, so the tool's status can still be read.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    ProcessOptions options;
    options.env["DISPLAY"] = silent.display();
    Process parent({"/bin/sh", "-c", std::string(LUMATAP_BIN) + " list & echo $!; sleep 1"},
                   options);
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(parent.wait(std::chrono::seconds(10)), 0);
    parent.drain();
    pid_t tool = std::stoi(parent.out());
    auto parentGone = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        if (waitpid(tool, &status, WNOHANG) == tool) {
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - parentGone, std::chrono::milliseconds(2500));
    EXPECT_EQ(parent.err(), "");
}

} // namespace
} // namespace lumatap::test
