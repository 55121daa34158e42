#pragma once

// The demo's windows on one display server; DemoMain.cpp reads the commands and keeps the clock.

#include <cstdint>
#include <memory>
#include <string>

namespace kestrova::demo {

inline constexpr std::string_view kTitlePrefix = "Kestrova Output | ";

class DemoWindows {
public:
    virtual ~DemoWindows() = default;

    // Each gives false when there is no such window (or, for open, one of that name already) or the size is 0.
    // A window opened not shown exists (titled) but has never been drawn until it is mapped.
    virtual bool open(const std::string& name, std::uint32_t width, std::uint32_t height, bool shown) = 0;
    virtual bool retitle(const std::string& name, const std::string& title) = 0;
    virtual bool resize(const std::string& name, std::uint32_t width, std::uint32_t height) = 0;
    virtual bool unmap(const std::string& name) = 0;
    virtual bool map(const std::string& name) = 0;
    virtual bool close(const std::string& name) = 0;

    // Advances every shown window's counter and draws it.
    virtual void drawAll() = 0;
    // Handles what the server sent; false when the connection is gone.
    virtual bool events() = 0;
    // Returns once the server has carried out everything sent before.
    virtual void sync() = 0;
    virtual int fd() const = 0;
};

// Each is null when its server cannot be reached.
std::unique_ptr<DemoWindows> openX11Windows();
std::unique_ptr<DemoWindows> openWaylandWindows();

}  // namespace kestrova::demo
