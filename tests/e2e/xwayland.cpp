// Under Xwayland (weston's headless backend here): the screen of a Wayland session is the
// compositor's, so capturing a display must fail with one clear line instead of black
// pictures, while X programs' windows stay capturable.
#include "tests/support/png.h"
#include "tests/support/process.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace lumatap::test {
namespace {

using namespace std::chrono_literals;

// weston with Xwayland on a private runtime directory; the X display is the one it names.
class Weston {
  public:
    Weston() {
        std::string dir = (std::filesystem::temp_directory_path() / "lumatap-weston-XXXXXX");
        if (!mkdtemp(dir.data())) {
            throw std::runtime_error("cannot make a runtime directory");
        }
        runtime_ = dir;
        ProcessOptions options;
        options.env["XDG_RUNTIME_DIR"] = runtime_;
        options.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
        process_ = std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/weston", "--backend=headless-backend.so",
                                     "--xwayland", "--socket=lumatap-test", "--idle-time=0",
                                     "--width=1024", "--height=640"},
            options);
        const std::string marker = "xserver listening on display ";
        if (!process_->waitForErr(marker, 20s)) {
            throw std::runtime_error("weston did not start Xwayland: " + process_->err());
        }
        std::string err = process_->err();
        auto at = err.find(marker) + marker.size();
        display_ = err.substr(at, err.find_first_of("\r\n", at) - at);
    }

    ~Weston() {
        process_->kill(SIGTERM);
        if (!process_->wait(10s)) {
            process_->kill(SIGKILL);
            process_->wait(5s);
        }
        std::error_code ignored;
        std::filesystem::remove_all(runtime_, ignored);
    }

    ProcessOptions env() const {
        ProcessOptions options;
        options.env["DISPLAY"] = display_;
        return options;
    }

  private:
    std::string runtime_;
    std::string display_;
    std::unique_ptr<Process> process_;
};

// Catches a display capture under Xwayland that "works" and gives black pictures, or fails
// without saying why: one line, starting "error: ", status 1, nothing on standard output.
TEST(Xwayland, DisplayCaptureIsRefusedWithOneLine) {
    Weston weston;
    auto listed = run({LUMATAP_BIN, "list"}, weston.env());
    ASSERT_EQ(listed.status, 0) << listed.err;
    auto displays = nlohmann::json::parse(listed.out)["displays"];
    ASSERT_FALSE(displays.empty()) << listed.out;
    std::string id = std::to_string(displays[0]["id"].get<std::uint32_t>());
    for (const auto& argv :
         {std::vector<std::string>{LUMATAP_BIN, "thumb", "display", id, "400", "300"},
          std::vector<std::string>{LUMATAP_BIN, "video", "display", id, "320", "240", "30", "1"}}) {
        SCOPED_TRACE(argv[1]);
        auto result = run(argv, weston.env());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("error: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find("Wayland"), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.back(), '\n');
    }
}

// Catches the refusal reaching windows too: an X program's window on Xwayland still gives a
// PNG of its colours.
TEST(Xwayland, WindowOfAnXProgramIsStillCaptured) {
    Weston weston;
    ProcessOptions options = weston.env();
    options.pipeStdin = true;
    options.captureStdout = false;
    Process client({XCLIENT_BIN}, options);
    client.writeStdin("window 50 50 320 240 3080c0 title=Xwayland\n");
    std::string answer;
    while (answer.find('\n') == std::string::npos) {
        std::string more = client.read(1, 20s);
        ASSERT_FALSE(more.empty()) << "the test X client did not answer: " << client.err();
        answer += more;
    }
    std::uint32_t id = static_cast<std::uint32_t>(std::stoul(answer));

    std::string last;
    bool listed = false;
    for (int attempt = 0; attempt < 250 && !listed; ++attempt) {
        auto result = run({LUMATAP_BIN, "list"}, weston.env());
        last = result.out + result.err;
        auto doc = nlohmann::json::parse(result.out);
        for (const auto& window : doc["windows"]) {
            listed = listed || window["id"] == id;
        }
        if (!listed) {
            std::this_thread::sleep_for(20ms);
        }
    }
    // weston's window manager publishes no client list; discovery must then look at the
    // root's children itself.
    ASSERT_TRUE(listed) << "window never listed: " << last;

    auto result =
        run({LUMATAP_BIN, "thumb", "window", std::to_string(id), "160", "120"}, weston.env());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    auto png = decodePNG(result.out);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width, 160u);
    EXPECT_EQ(png->height, 120u);
    for (std::size_t y = 0; y < png->height; y += 7) {
        for (std::size_t x = 0; x < png->width; x += 7) {
            ASSERT_TRUE(near(png->at(x, y), 0x3080c0))
                << x << "," << y << " is " << std::hex << png->at(x, y);
        }
    }
    client.closeStdin();
}

} // namespace
} // namespace lumatap::test
