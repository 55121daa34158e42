// The demo desktop that the README's first command shows on a machine without a display: it must report the
// bridge's menu and a non-zero frame rate, and leave a received frame at twice the window's size.

#include "ChildProcess.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace std::chrono_literals;

namespace {

TEST(DemoDesktop, ReportsTheMenuAndReceivedFramesAndWritesTheFrame) {
    const std::filesystem::path root = kestrova::testing::paths::sourceDir;
    const auto frame = root / "demo-frame.png";
    std::filesystem::remove(frame);
    for (const std::string mode : {"one", "two"}) {
        SCOPED_TRACE(mode);
        kestrova::testing::ChildProcess::Options options;
        options.unsetEnvironment = {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"};
        const auto result = kestrova::testing::runProgram({"bash", (root / "scripts/demo").string(), mode}, 120s, options);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("✓ Kestrova Output | " + std::string(mode == "one" ? "Demo" : "Dos")),
                  std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("Línea de estado: Transmitiendo como Kestrova Bridge"), std::string::npos);
        EXPECT_NE(result.out.find("cuadros: 120 de 640x480"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("terminó (estado 0)"), std::string::npos);
        if (mode == "two") {
            EXPECT_NE(result.out.find("Elegí una pantalla"), std::string::npos);
        }
        EXPECT_TRUE(std::filesystem::exists(frame));
    }
    // The PNG's header gives the frame's size: 2 × 320 by 2 × 240.
    const auto identify = kestrova::testing::runProgram({"identify", "-format", "%wx%h", frame.string()}, 30s);
    EXPECT_EQ(identify.out, "640x480");
}

}  // namespace
