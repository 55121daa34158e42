// A real browser as the consumer of what the bridge publishes: Debian's Chromium takes cameras from PipeWire through
// the desktop portal, and a page of ours lists them once a second, takes "Kestrova Bridge" once it is listed and
// reports the colours of its picture. Opened before the window exists, the browser must still find the camera once
// the window appears, as it does when opened after.

#include "BridgeDesktop.hpp"
#include "CameraPortal.hpp"
#include "DemoPattern.hpp"
#include "HeadlessBrowser.hpp"
#include "ProgramPaths.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

using namespace kestrova::testing;

enum class BrowserOpens { BeforeTheWindow, AfterTheWindow };

std::string nameOf(BrowserOpens opens) {
    return opens == BrowserOpens::BeforeTheWindow ? "OpenedBeforeTheWindow" : "OpenedAfterTheWindow";
}

void PrintTo(BrowserOpens opens, std::ostream* out) { *out << nameOf(opens); }

// The browser looks once a second and takes a camera through the portal and the daemon: a wider bound.
constexpr auto kBrowserBound = 40s;
const std::string kWindow = "Uno";
constexpr std::uint32_t kWindowWidth = 320;
constexpr std::uint32_t kWindowHeight = 240;
// The picture goes to the browser as I420 and back to RGB: each channel may move a little.
constexpr int kTolerance = 12;
// The name users choose the camera by.
const std::string kServerName = "Kestrova Bridge";

// A place in the picture (fractions of its width and height) and the colour the window shows there whatever its
// counter: the two marker cells at the start of the top band, and the body.
struct Spot {
    double x;
    double y;
    std::uint32_t rgb;
};

std::vector<Spot> steadySpots() {
    const double band = 0.5 / kestrova::demo::kRows;
    const auto cell = [](int index) { return (index + 0.5) / kestrova::demo::kCells; };
    const std::uint32_t body = kestrova::demo::colorFor(kWindow);
    return {{cell(0), band, 0xFFFFFF}, {cell(1), band, 0x000000}, {0.5, 0.5, body}, {0.2, 0.8, body}, {0.9, 0.3, body}};
}

std::string pageUrl() {
    std::ostringstream points;
    for (const auto& spot : steadySpots()) points << spot.x << ',' << spot.y << ';';
    std::string camera;
    for (const char c : kServerName) camera += c == ' ' ? std::string("%20") : std::string(1, c);
    return std::string("file://") + kestrova::testing::paths::sourceDir + "/tests/system/data/camera.html?camera=" + camera +
           "&points=" + points.str();
}

// What the page reported: each list of cameras, and the last picture it sampled.
struct PageReports {
    std::vector<std::vector<std::string>> cameraLists;
    std::optional<QJsonObject> frame;
    std::vector<std::string> all;
};

PageReports readPage(const HeadlessBrowser& browser) {
    static const std::string kTag = "camera-page ";
    PageReports reports;
    for (const auto& message : browser.consoleMessages()) {
        if (message.rfind(kTag, 0) != 0) continue;
        const std::string report = message.substr(kTag.size());
        reports.all.push_back(report);
        const auto space = report.find(' ');
        const std::string kind = report.substr(0, space);
        const auto json = QJsonDocument::fromJson(QByteArray::fromStdString(report.substr(space + 1)));
        if (kind == "devices" && json.isArray()) {
            std::vector<std::string> labels;
            for (const auto& label : json.array()) labels.push_back(label.toString().toStdString());
            reports.cameraLists.push_back(labels);
        } else if (kind == "frame" && json.isObject()) {
            reports.frame = json.object();
        }
    }
    return reports;
}

bool lists(const std::vector<std::string>& cameras, const std::string& name) {
    return std::find(cameras.begin(), cameras.end(), name) != cameras.end();
}

// Every steady spot of the frame within the tolerance of the window's colour there.
bool showsTheWindow(const QJsonObject& frame) {
    const auto spots = steadySpots();
    const auto colours = frame["colours"].toArray();
    if (colours.size() != static_cast<qsizetype>(spots.size())) return false;
    for (std::size_t i = 0; i < spots.size(); ++i) {
        const auto rgb = colours[static_cast<qsizetype>(i)].toArray();
        for (int channel = 0; channel < 3; ++channel) {
            const int expected = static_cast<int>(spots[i].rgb >> (16 - 8 * channel) & 0xFFu);
            if (std::abs(rgb[channel].toInt() - expected) > kTolerance) return false;
        }
    }
    return true;
}

// Each distinct line once, in the order they first came, with how often it came.
std::string summary(const std::vector<std::string>& lines) {
    std::vector<std::pair<std::string, int>> counted;
    for (const auto& line : lines) {
        const auto seen = std::find_if(counted.begin(), counted.end(), [&](const auto& c) { return c.first == line; });
        if (seen == counted.end()) {
            counted.emplace_back(line, 1);
        } else {
            ++seen->second;
        }
    }
    std::string text;
    for (const auto& [line, count] : counted) {
        text += "  " + line + (count > 1 ? " (x" + std::to_string(count) + ")" : "") + "\n";
    }
    return text;
}

// What the daemon says of the video: what each video node offers and agreed, the buffers of each port.
std::string agreed(const PrivatePipeWire& pipewire) {
    const auto compact = [](const QJsonValue& value) {
        const auto document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
        return document.toJson(QJsonDocument::Compact).toStdString();
    };
    const auto dump = runProgram({"pw-dump"}, kBound, pipewire.clientOptions());
    std::string text = "the daemon says:\n";
    for (const QJsonValue& value : QJsonDocument::fromJson(QByteArray::fromStdString(dump.out)).array()) {
        const auto entry = value.toObject();
        const auto type = entry["type"].toString();
        const auto info = entry["info"].toObject();
        const auto id = std::to_string(entry["id"].toInt());
        if (type.endsWith(":Node") && info["props"]["media.class"].toString().contains("Video")) {
            text += "  node " + id + " " + info["props"]["node.name"].toString().toStdString() + ": offers " +
                    compact(info["params"]["EnumFormat"]) + ", agreed " + compact(info["params"]["Format"]) + "\n";
        } else if (type.endsWith(":Port")) {
            text += "  port " + id + " of node " + info["props"]["node.id"].toVariant().toString().toStdString() +
                    ": buffers " + compact(info["params"]["Buffers"]) + "\n";
        }
    }
    return text;
}

// What the page reported, then what the browser (its own messages without their process and time) and the
// portal's services said besides.
std::string describe(const PageReports& reports, const HeadlessBrowser& browser, const CameraPortal& portal) {
    std::vector<std::string> said;
    std::istringstream lines(browser.errors());
    for (std::string line; std::getline(lines, line);) {
        if (line.find(":INFO:CONSOLE") != std::string::npos) continue;
        const auto time = line.rfind('[', 0) == 0 ? line.find(':', line.find('.')) : std::string::npos;
        said.push_back(time == std::string::npos ? line : line.substr(time + 1));
    }
    return "the page reported:\n" + summary(reports.all) + "the browser said:\n" + summary(said) +
           agreed(portal.pipewire()) + portal.logs();
}

class BrowserConsumer : public BridgeDesktop, public ::testing::WithParamInterface<BrowserOpens> {
protected:
    // The bridge ends before the daemon it publishes on, and the portal's back-end leaves the X server before the
    // desktop counts what is left there.
    void TearDown() override {
        bridge_.reset();
        portal_.reset();
        BridgeDesktop::TearDown();
    }

    std::unique_ptr<CameraPortal> portal_;
};

TEST_P(BrowserConsumer, ListsTheCameraAndShowsTheWindowsPicture) {
    portal_ = std::make_unique<CameraPortal>();
    auto& portal = *portal_;
    ASSERT_TRUE(portal.ready()) << portal.logs();
    startWatcher();
    startCompanion();
    // The bridge publishes on the portal's daemon and shows its item on the tray's bus.
    auto options = portal.pipewire().clientOptions();
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
    bridge_ = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::bridge}, options);
    const auto searching = menuWith("Buscando pantallas Kestrova", {});
    ASSERT_EQ(waitForMenu(searching), searching);

    std::unique_ptr<HeadlessBrowser> browser;
    const auto openBrowser = [&] { browser = std::make_unique<HeadlessBrowser>(pageUrl(), portal.clientOptions()); };
    if (GetParam() == BrowserOpens::BeforeTheWindow) {
        openBrowser();
        // The page has looked for cameras while no window existed, and found none of ours.
        ASSERT_TRUE(waitUntil([&] { return !readPage(*browser).cameraLists.empty(); }, kBrowserBound))
            << describe(readPage(*browser), *browser, portal);
        EXPECT_FALSE(lists(readPage(*browser).cameraLists.front(), kServerName));
    }
    companion("open " + kWindow + " " + std::to_string(kWindowWidth) + " " + std::to_string(kWindowHeight));
    const auto transmitting = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + kWindow});
    ASSERT_EQ(waitForMenu(transmitting), transmitting);
    if (GetParam() == BrowserOpens::AfterTheWindow) openBrowser();

    const bool shown = waitUntil(
        [&] {
            const auto frame = readPage(*browser).frame;
            return frame && showsTheWindow(*frame);
        },
        kBrowserBound, 100ms);
    const auto reports = readPage(*browser);
    ASSERT_TRUE(shown) << (browser->running() ? "" : "the browser has ended\n") << describe(reports, *browser, portal);
    ASSERT_FALSE(reports.cameraLists.empty());
    EXPECT_TRUE(lists(reports.cameraLists.back(), kServerName));
    EXPECT_EQ((*reports.frame)["width"].toInt(), 2 * kWindowWidth);
    EXPECT_EQ((*reports.frame)["height"].toInt(), 2 * kWindowHeight);
}

INSTANTIATE_TEST_SUITE_P(, BrowserConsumer,
                         ::testing::Values(BrowserOpens::BeforeTheWindow, BrowserOpens::AfterTheWindow),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace
