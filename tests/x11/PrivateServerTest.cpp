// Tests that bring their own X server: one that goes away under the provider, and one run by a reparenting window
// manager.

#include "x11/X11ScreenCapture.hpp"
#include "WaitUntil.hpp"
#include "X11TestSupport.hpp"

#include "BridgeConstants.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

namespace {

using namespace kestrova;
using namespace kestrova::testing;

const std::string kPrefix = std::string(constants::kTitlePrefix) + " ";

TEST(PrivateXServer, ALostDisplayIsAnErrorThatSaysWhatFailed) {
    platform::ManualLoop loop;
    PrivateXServer server;
    ASSERT_FALSE(server.display().empty());
    const auto service = platform::x11::makeX11ScreenCapture(server.display());
    ASSERT_TRUE(listWindows(loop, *service).content);

    ASSERT_TRUE(server.kill());
    const auto answer = listWindows(loop, *service);
    ASSERT_TRUE(answer.error);
    EXPECT_FALSE(answer.content);
    EXPECT_EQ(answer.error->domain, platform::x11::kErrorDomain);
    const auto code = static_cast<platform::x11::ErrorCode>(answer.error->code);
    EXPECT_TRUE(code == platform::x11::ErrorCode::connectionLost || code == platform::x11::ErrorCode::connectFailed)
        << answer.error->code;
    // Plain words for the user, naming the display that failed.
    EXPECT_NE(answer.error->description.find("servidor gráfico X"), std::string::npos) << answer.error->description;
    EXPECT_NE(answer.error->description.find("\"" + server.display() + "\""), std::string::npos)
        << answer.error->description;
}

TEST(PrivateXServer, WindowsReparentedByAWindowManagerAreListedByTheirClients) {
    platform::ManualLoop loop;
    PrivateXServer server;
    ASSERT_FALSE(server.display().empty());
    Openbox openbox(server.display());
    ASSERT_TRUE(openbox.ready()) << openbox.errors();

    Companion companion(server.display());
    ASSERT_TRUE(companion.command("open Uno 320 240"));
    ASSERT_TRUE(companion.command("open Dos 200 150"));
    ASSERT_TRUE(companion.command("open Oculta"));
    ASSERT_TRUE(companion.command("unmap Oculta"));
    const auto service = platform::x11::makeX11ScreenCapture(server.display());
    xcb_connection_t* connection = xcb_connect(server.display().c_str(), nullptr);
    // Whether the window sits inside a frame of the manager rather than on the root.
    const auto framed = [connection](std::uint32_t id) {
        auto* tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, id), nullptr);
        const bool inFrame = tree && tree->parent != tree->root;
        std::free(tree);
        return inFrame;
    };
    // The manager frames mapped windows in its own time; a withdrawn window it hands back to the root.
    const auto answer = listUntil(loop, *service, [&](const platform::ShareableContent& content) {
        const auto uno = titled(content, kPrefix + "Uno"), dos = titled(content, kPrefix + "Dos");
        return uno && dos && titled(content, kPrefix + "Oculta") && framed(uno->windowID) && framed(dos->windowID);
    });
    ASSERT_TRUE(answer.content) << answer.error->description;
    for (const auto* name : {"Uno", "Dos", "Oculta"}) {
        SCOPED_TRACE(name);
        const auto window = titled(*answer.content, kPrefix + name);
        ASSERT_TRUE(window);
        EXPECT_EQ(window->windowLayer, 0);
        ASSERT_TRUE(window->owningApplication);
        EXPECT_EQ(window->owningApplication->processID, companion.pid());
        if (std::string(name) != "Oculta") {
            EXPECT_TRUE(framed(window->windowID));
        }
    }
    xcb_disconnect(connection);
}

}  // namespace
