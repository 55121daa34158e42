#include "SizeSwitchConsumers.hpp"

#include "FrameReceiver.hpp"
#include "PipeWireTestSupport.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

namespace kestrova::testing {

namespace {

using Size = std::pair<std::uint32_t, std::uint32_t>;

class ReceiverConsumer final : public SizeSwitchConsumer {
public:
    explicit ReceiverConsumer(const std::string& nodeName)
        : receiver_(receive::FrameReceiver::connect(nodeName, log_.handler(), std::chrono::seconds(1))) {}

    bool received(std::uint32_t width, std::uint32_t height) override {
        for (const ReceivedFrame& frame : log_.frames()) {
            if (frame.width == width && frame.height == height && frame.index) return true;
        }
        return false;
    }

    std::string fault() override {
        if (!receiver_) return "no daemon answered";
        if (receiver_->failed()) return "its stream failed";
        for (const ReceivedFrame& frame : log_.frames()) {
            if (!frame.index) return "a torn " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                                     " frame arrived";
        }
        return {};
    }

private:
    FrameLog log_;
    std::unique_ptr<receive::FrameReceiver> receiver_;
};

// gst-launch -v reports each caps its source pad takes and, through identity, each buffer's byte count, in the
// order they passed: a buffer is a whole frame of the size its caps say, or a frame drawn as garbage.
class GStreamerConsumer final : public SizeSwitchConsumer {
public:
    explicit GStreamerConsumer(const std::string& nodeName)
        : process_({"gst-launch-1.0", "-v", "pipewiresrc", "target-object=" + nodeName, "!",
                    "video/x-raw,format=BGRA", "!", "identity", "silent=false", "!", "fakesink"}) {}

    bool received(std::uint32_t width, std::uint32_t height) override {
        read();
        return whole_.count({width, height}) > 0;
    }

    std::string fault() override {
        read();
        if (!process_.running()) {
            const std::string error = process_.stderrText();
            return "gst-launch ended: " + error.substr(0, error.find('\n'));
        }
        return fault_;
    }

private:
    static std::uint32_t number(const std::string& line, const std::string& key) {
        const auto at = line.find(key);
        return at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::strtoul(line.c_str() + at + key.size(),
                                                                                      nullptr, 10));
    }

    // Goes through the whole lines written since the last look.
    void read() {
        const std::string text = process_.stdoutText();
        for (auto end = text.find('\n', parsed_); end != std::string::npos; end = text.find('\n', parsed_)) {
            const std::string line = text.substr(parsed_, end - parsed_);
            parsed_ = end + 1;
            if (line.find("pipewiresrc0.GstPad:src: caps = ") != std::string::npos) {
                caps_ = {number(line, "width=(int)"), number(line, "height=(int)")};
                continue;
            }
            const auto chain = line.find("(identity0:sink) (");
            if (chain == std::string::npos) continue;
            const auto bytes = std::strtoull(line.c_str() + chain + 18, nullptr, 10);
            if (bytes == std::uint64_t{caps_.first} * caps_.second * 4) {
                whole_.insert(caps_);
            } else if (fault_.empty()) {
                fault_ = "a " + std::to_string(bytes) + "-byte buffer under caps of " + std::to_string(caps_.first) +
                         "x" + std::to_string(caps_.second);
            }
        }
    }

    ChildProcess process_;
    std::size_t parsed_ = 0;
    Size caps_{0, 0};
    std::set<Size> whole_;
    std::string fault_;
};

}  // namespace

std::unique_ptr<SizeSwitchConsumer> SizeSwitchConsumer::start(Kind kind, const std::string& nodeName) {
    if (kind == Kind::GStreamer) return std::make_unique<GStreamerConsumer>(nodeName);
    return std::make_unique<ReceiverConsumer>(nodeName);
}

const char* kindName(SizeSwitchConsumer::Kind kind) {
    return kind == SizeSwitchConsumer::Kind::GStreamer ? "GStreamer" : "Receiver";
}

bool gstreamerFollowsSizeChanges() {
    const std::string text = runProgram({"gst-inspect-1.0", "pipewiresrc"}, std::chrono::seconds(30)).out;
    const auto line = text.find("Version");
    unsigned version[3] = {0, 0, 0};
    if (line == std::string::npos ||
        std::sscanf(text.c_str() + line, "Version %u.%u.%u", &version[0], &version[1], &version[2]) != 3) {
        return false;
    }
    const std::array found{version[0], version[1], version[2]};
    return (found >= std::array{0u, 3u, 84u} && found < std::array{1u, 2u, 0u}) || found >= std::array{1u, 5u, 81u};
}

}  // namespace kestrova::testing
