// Listing the run's X server: the companion's windows as another process's, with their titles, layer and owner;
// and what the output list keeps of them.

#include "x11/X11ScreenCapture.hpp"
#include "X11TestSupport.hpp"

#include "BridgeConstants.hpp"
#include "WindowDiscovery.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

using namespace kestrova;
using namespace kestrova::testing;

const std::string kPrefix = std::string(constants::kTitlePrefix) + " ";

class WindowListing : public ::testing::Test {
protected:
    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_ = platform::x11::makeX11ScreenCapture();
    Companion companion_;

    platform::ShareableContent list() {
        auto answer = listWindows(loop_, *service_);
        EXPECT_TRUE(answer.content) << (answer.error ? answer.error->description : "neither content nor error");
        return answer.content.value_or(platform::ShareableContent{});
    }
    // The output list as the bridge would show it, of the windows of this test's companion and of this process:
    // other tests may have windows on the same server.
    std::vector<std::string> outputTitles() {
        std::vector<std::string> titles;
        for (const auto& w : outputWindows(list().windows, platform::currentProcessID())) {
            const auto owner = w.window->owningApplication;
            if (owner && (owner->processID == companion_.pid() || owner->processID == platform::currentProcessID())) {
                titles.push_back(w.title());
            }
        }
        return titles;
    }
};

TEST_F(WindowListing, CompanionWindowsCarryTitleNormalLayerOwnerAndSize) {
    ASSERT_TRUE(companion_.command("open Uno 320 240"));
    ASSERT_TRUE(companion_.command("open Dos 200 150"));
    const auto content = list();
    for (const auto& [name, width, height] : {std::tuple{"Uno", 320.0, 240.0}, std::tuple{"Dos", 200.0, 150.0}}) {
        SCOPED_TRACE(name);
        const auto window = titled(content, kPrefix + name);
        ASSERT_TRUE(window);
        EXPECT_NE(window->windowID, 0u);
        EXPECT_EQ(window->windowLayer, 0);
        ASSERT_TRUE(window->owningApplication);
        EXPECT_EQ(window->owningApplication->processID, companion_.pid());
        EXPECT_EQ(window->frame.width, width);
        EXPECT_EQ(window->frame.height, height);
    }
}

TEST_F(WindowListing, RetitledAndUnmappedWindowsAreSeenAsTheyAreNow) {
    ASSERT_TRUE(companion_.command("open Uno"));
    ASSERT_TRUE(companion_.command("retitle Uno Kestrova Output | Otro nombre"));
    ASSERT_TRUE(companion_.command("open Oculta"));
    ASSERT_TRUE(companion_.command("unmap Oculta"));
    const auto content = list();
    EXPECT_FALSE(titled(content, kPrefix + "Uno"));
    EXPECT_TRUE(titled(content, kPrefix + "Otro nombre"));
    EXPECT_TRUE(titled(content, kPrefix + "Oculta"));
    const auto titles = outputTitles();
    EXPECT_NE(std::find(titles.begin(), titles.end(), kPrefix + "Oculta"), titles.end());
}

TEST_F(WindowListing, OwnWindowsAreListedButNeverOutputs) {
    OwnWindow mapped(kPrefix + "Propia", true);
    OwnWindow neverMapped(kPrefix + "Propia sin mostrar", false);
    ASSERT_TRUE(companion_.command("open Ajena"));
    const auto content = list();
    for (const auto& title : {kPrefix + "Propia", kPrefix + "Propia sin mostrar"}) {
        SCOPED_TRACE(title);
        const auto window = titled(content, title);
        ASSERT_TRUE(window);
        ASSERT_TRUE(window->owningApplication);
        EXPECT_EQ(window->owningApplication->processID, platform::currentProcessID());
    }
    EXPECT_EQ(titled(content, kPrefix + "Propia")->windowID, mapped.id());
    EXPECT_EQ(titled(content, kPrefix + "Propia sin mostrar")->windowID, neverMapped.id());
    EXPECT_EQ(outputTitles(), std::vector<std::string>{kPrefix + "Ajena"});
}

TEST_F(WindowListing, OnlyTitlesBeginningWithThePrefixExactlyAreOutputsInNaturalOrder) {
    const std::vector<std::pair<std::string, std::string>> retitles = {
        {"a", "kestrova output | minúsculas"},
        {"b", "KESTROVA OUTPUT | mayúsculas"},
        {"c", " Kestrova Output | con blanco delante"},
        {"d", std::string(constants::kTitlePrefix)},
        {"e", "Otra ventana"},
    };
    for (const auto& [name, title] : retitles) {
        ASSERT_TRUE(companion_.command("open " + name));
        ASSERT_TRUE(companion_.command("retitle " + name + " " + title));
    }
    for (const auto* name : {"10", "9", "Dos", "1"}) ASSERT_TRUE(companion_.command(std::string("open ") + name));
    const auto content = list();
    // Every one of them is listed; only the output list leaves some out.
    for (const auto& [name, title] : retitles) EXPECT_TRUE(titled(content, title)) << title;
    EXPECT_EQ(outputTitles(), (std::vector<std::string>{std::string(constants::kTitlePrefix), kPrefix + "1",
                                                        kPrefix + "9", kPrefix + "10", kPrefix + "Dos"}));
}

}  // namespace
