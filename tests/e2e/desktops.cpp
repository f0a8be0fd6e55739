// `list` and `thumb` on real desktops: real window managers (or none) running real programs,
// where each manager or program shows windows in its own way.
#include "tests/support/desktop.h"
#include "tests/support/png.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

namespace lumatap::test {
namespace {

using nlohmann::json;

json listOn(Desktop& desk) {
    auto result = run({LUMATAP_BIN, "list"}, desk.server().env());
    EXPECT_EQ(result.status, 0) << result.err;
    json doc = json::parse(result.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "not JSON: " << result.out << result.err;
    return doc.is_discarded() ? json{{"windows", json::array()}} : doc;
}

json entry(const json& doc, std::uint32_t id) {
    for (const auto& w : doc["windows"]) {
        if (w["id"] == id) {
            return w;
        }
    }
    return nullptr;
}

struct Thumb {
    RunResult result;
    std::optional<Decoded> picture;
};

Thumb thumbOf(Desktop& desk, std::uint32_t window, int maxWidth, int maxHeight) {
    Thumb thumb;
    thumb.result = run({LUMATAP_BIN, "thumb", "window", std::to_string(window),
                        std::to_string(maxWidth), std::to_string(maxHeight)},
                       desk.server().env());
    thumb.picture = decodePNG(thumb.result.out);
    return thumb;
}

std::string hex(std::uint32_t window) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", window);
    return text;
}

// The numbers after '=' or ':' in xprop's or xwininfo's line for `name`.
std::vector<int> numbers(const std::string& text, const std::string& name) {
    std::vector<int> found;
    auto at = text.find(name);
    if (at == std::string::npos) {
        return found;
    }
    std::string line = text.substr(at + name.size(), text.find('\n', at) - at - name.size());
    std::regex number("-?[0-9]+");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), number);
         it != std::sregex_iterator(); ++it) {
        found.push_back(std::stoi(it->str()));
    }
    return found;
}

// One desktop for all tests of a manager: each test closes the programs it started.
template <Manager kind, bool tcp = false> class On : public ::testing::Test {
  protected:
    static void TearDownTestSuite() { shared_.reset(); }
    void SetUp() override {
        if (!shared_) {
            std::vector<std::string> args;
            if (tcp) {
                args = {"-listen", "tcp"};
            }
            shared_ = std::make_unique<Desktop>(kind, 1280, 720, args);
        }
    }
    void TearDown() override {
        if (shared_) {
            shared_->stopPrograms();
        }
    }
    Desktop& desk() { return *shared_; }

  private:
    static inline std::unique_ptr<Desktop> shared_;
};

class UnderDwm : public On<Manager::Dwm> {};
class UnderMutter : public On<Manager::Mutter> {};
class UnderXfwm4 : public On<Manager::Xfwm4> {};
class UnderOpenbox : public On<Manager::Openbox> {};
class WithoutManager : public On<Manager::None, true> {};

// Catches windows dropped, or `thumb` calling them gone, when the manager keeps a client list
// but no stacking list.
TEST_F(UnderDwm, ListsAndThumbnailsWindowsWithoutAStackingList) {
    std::uint32_t term = desk().xterm("dwm terminal", "DwmTerm");
    auto root = desk().run({"xprop", "-root", "_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING"});
    ASSERT_NE(root.out.find(hex(term)), std::string::npos) << root.out;
    ASSERT_EQ(root.out.find("_NET_CLIENT_LIST_STACKING(WINDOW)"), std::string::npos) << root.out;

    json doc = listOn(desk());
    json listed = entry(doc, term);
    EXPECT_FALSE(listed.is_null()) << doc.dump();
    if (!listed.is_null()) {
        EXPECT_EQ(listed["title"], json("dwm terminal"));
        EXPECT_EQ(listed["app"], json("DwmTerm"));
    }

    Thumb thumb = thumbOf(desk(), term, 320, 240);
    EXPECT_EQ(thumb.result.status, 0) << thumb.result.err;
    ASSERT_TRUE(thumb.picture) << thumb.result.err;
    EXPECT_GT(thumb.picture->width, 0u);
    EXPECT_LE(thumb.picture->width, 320u);
    EXPECT_LE(thumb.picture->height, 240u);
}

// Catches minimised windows and windows of another workspace listed as if on screen.
TEST_F(UnderMutter, LeavesOutMinimisedWindowsAndOtherWorkspaces) {
    std::uint32_t shown = desk().xterm("in view", "MutterShown");
    std::uint32_t minimised = desk().xterm("minimised", "MutterMinimised");
    std::uint32_t away = desk().xterm("elsewhere", "MutterAway");
    desk().must({"wmctrl", "-n", "2"});
    desk().must({"xdotool", "windowminimize", std::to_string(minimised)});
    desk().must({"wmctrl", "-i", "-r", hex(away), "-t", "1"});
    desk().waitFor(
        [&] { return desk().property(minimised, "WM_STATE").find("Iconic") != std::string::npos; },
        "the minimised window to be iconic");
    desk().waitFor(
        [&] {
            return numbers(desk().property(away, "_NET_WM_DESKTOP"), "=") == std::vector<int>{1};
        },
        "the window to move to the second workspace");

    json doc = listOn(desk());
    EXPECT_FALSE(entry(doc, shown).is_null()) << doc.dump();
    EXPECT_TRUE(entry(doc, minimised).is_null()) << doc.dump();
    EXPECT_TRUE(entry(doc, away).is_null()) << doc.dump();
}

// A GTK window with client-side decorations under a compositing manager: its X geometry
// holds an invisible shadow margin that _GTK_FRAME_EXTENTS names.
void expectVisibleSizeWithoutShadow(Desktop& desk) {
    std::uint32_t demo = desk.gtkDemo();
    std::vector<int> extents;
    desk.waitFor(
        [&] {
            extents = numbers(desk.property(demo, "_GTK_FRAME_EXTENTS"), "=");
            return extents.size() == 4;
        },
        "gtk3-demo to name its frame extents");
    ASSERT_GT(extents[0] + extents[1] + extents[2] + extents[3], 0)
        << "no shadow margin: the screen is not composited";
    std::string info = desk.run({"xwininfo", "-id", std::to_string(demo)}).out;
    ASSERT_EQ(numbers(info, "Width:").size(), 1u) << info;
    int width = numbers(info, "Width:")[0] - extents[0] - extents[1];
    int height = numbers(info, "Height:")[0] - extents[2] - extents[3];

    json doc = listOn(desk);
    json listed = entry(doc, demo);
    ASSERT_FALSE(listed.is_null()) << doc.dump();
    EXPECT_EQ(listed["width"], width) << listed.dump();
    EXPECT_EQ(listed["height"], height) << listed.dump();

    // GTK paints the whole window at once; once its middle is drawn, so are its edges.
    Thumb thumb;
    try {
        desk.waitFor(
            [&] {
                thumb = thumbOf(desk, demo, width, height);
                return thumb.picture &&
                       thumb.picture->at(thumb.picture->width / 2, thumb.picture->height / 2) != 0;
            },
            "a thumbnail of gtk3-demo with its content drawn");
    } catch (const std::exception& e) {
        FAIL() << e.what() << ": " << thumb.result.err;
    }
    const Decoded& p = *thumb.picture;
    EXPECT_EQ(p.width, static_cast<std::size_t>(width));
    EXPECT_EQ(p.height, static_cast<std::size_t>(height));
    EXPECT_NE(p.at(p.width / 2, 0), 0u) << "top edge";
    EXPECT_NE(p.at(p.width / 2, p.height - 1), 0u) << "bottom edge";
    EXPECT_NE(p.at(0, p.height / 2), 0u) << "left edge";
    EXPECT_NE(p.at(p.width - 1, p.height / 2), 0u) << "right edge";
}

// Catches the invisible shadow margin of client-side decorations counted into the size, or
// drawn as a black frame around the thumbnail.
TEST_F(UnderXfwm4, SizesAndDrawsClientSideDecorationsWithoutTheShadow) {
    expectVisibleSizeWithoutShadow(desk());
}

// Same as above under GNOME's manager.
TEST_F(UnderMutter, SizesAndDrawsClientSideDecorationsWithoutTheShadow) {
    expectVisibleSizeWithoutShadow(desk());
}

// Catches windows kept above or below the others left out of the list.
TEST_F(UnderOpenbox, ListsWindowsKeptAboveAndBelow) {
    std::uint32_t above = desk().xterm("kept above", "KeptAbove");
    std::uint32_t below = desk().xterm("kept below", "KeptBelow");
    desk().must({"wmctrl", "-i", "-r", hex(above), "-b", "add,above"});
    desk().must({"wmctrl", "-i", "-r", hex(below), "-b", "add,below"});
    desk().waitFor(
        [&] {
            return desk().property(above, "_NET_WM_STATE").find("ABOVE") != std::string::npos &&
                   desk().property(below, "_NET_WM_STATE").find("BELOW") != std::string::npos;
        },
        "openbox to keep the windows above and below");

    json doc = listOn(desk());
    EXPECT_FALSE(entry(doc, above).is_null()) << doc.dump();
    EXPECT_FALSE(entry(doc, below).is_null()) << doc.dump();
}

// Catches titles that Xt programs store as COMPOUND_TEXT garbled, and long titles cut short.
TEST_F(WithoutManager, ShowsCompoundTextAndLongTitlesWhole) {
    std::uint32_t greeting = desk().xterm("Привет мир", "GreetingTerm");
    std::string name =
        desk().property(greeting, "WM_NAME") + desk().property(greeting, "_NET_WM_NAME");
    ASSERT_NE(name.find("WM_NAME(COMPOUND_TEXT)"), std::string::npos) << name;
    ASSERT_EQ(name.find("_NET_WM_NAME("), std::string::npos) << name;

    std::u32string characters;
    for (int i = 0; characters.size() < 1500; ++i) {
        characters += U"Заголовок " + std::u32string(1, U'0' + i % 10) + U" — τίτλος; ";
    }
    characters.resize(1500);
    std::string longTitle;
    for (char32_t c : characters) {
        if (c < 0x80) {
            longTitle += static_cast<char>(c);
        } else if (c < 0x800) {
            longTitle += static_cast<char>(0xC0 | (c >> 6));
            longTitle += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            longTitle += static_cast<char>(0xE0 | (c >> 12));
            longTitle += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            longTitle += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    std::uint32_t longOne = desk().xterm(longTitle, "LongTitleTerm");

    json doc = listOn(desk());
    ASSERT_FALSE(entry(doc, greeting).is_null()) << doc.dump();
    EXPECT_EQ(entry(doc, greeting)["title"], json("Привет мир"));
    ASSERT_FALSE(entry(doc, longOne).is_null()) << doc.dump();
    EXPECT_EQ(entry(doc, longOne)["title"], json(longTitle));
}

// Catches one program's windows all named after the first window it opened (here a menu).
TEST_F(WithoutManager, NamesEachWindowOfAProgramByItsOwnClass) {
    XClient client(desk().server());
    client.window(0, 0, 300, 300, 0x0000ff, "override=1 class=Menu title=menu");
    std::uint32_t alpha = client.window(320, 0, 300, 200, 0xff0000, "class=Alpha title=first");
    std::uint32_t beta = client.window(640, 0, 300, 200, 0x00ff00, "class=Beta title=second");
    json doc = listOn(desk());
    ASSERT_FALSE(entry(doc, alpha).is_null()) << doc.dump();
    ASSERT_FALSE(entry(doc, beta).is_null()) << doc.dump();
    EXPECT_EQ(entry(doc, alpha)["app"], json("Alpha"));
    EXPECT_EQ(entry(doc, beta)["app"], json("Beta"));
}

// Catches a window dropped when its client has no local process id (it came over TCP and
// names no _NET_WM_PID).
TEST_F(WithoutManager, ListsAClientConnectedOverTcp) {
    ProcessOptions remote;
    remote.env["DISPLAY"] = "127.0.0.1" + desk().server().display();
    XClient client(remote);
    std::uint32_t window =
        client.window(100, 100, 400, 300, 0x808000, "pid=0 class=Remote title=from afar");
    json doc = listOn(desk());
    json listed = entry(doc, window);
    ASSERT_FALSE(listed.is_null()) << doc.dump();
    EXPECT_EQ(listed["app"], json("Remote"));
    EXPECT_EQ(listed["title"], json("from afar"));
}

// Catches real programs left out when no manager runs (no client list on the root at all).
TEST_F(WithoutManager, ListsRealProgramsWithoutAManager) {
    std::uint32_t term = desk().xterm("bare terminal", "BareTerm");
    std::uint32_t clock = desk().xclock("bare clock", "200x200+700+100");
    json doc = listOn(desk());
    ASSERT_FALSE(entry(doc, term).is_null()) << doc.dump();
    EXPECT_EQ(entry(doc, term)["app"], json("BareTerm"));
    ASSERT_FALSE(entry(doc, clock).is_null()) << doc.dump();
    EXPECT_EQ(entry(doc, clock)["title"], json("bare clock"));
    EXPECT_EQ(entry(doc, clock)["width"], 200);
}

} // namespace
} // namespace lumatap::test
