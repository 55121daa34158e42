#pragma once

#include "SessionBus.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace kestrova::platform::gnome {

// One Mutter ScreenCast session recording one window, with the cursor hidden. Its signals arrive on a main context
// of its own, which the owner runs with dispatch() when fd() is readable; made and used on one thread.
class ScreenCastSession {
public:
    // Creates the session, records the window by Meta's id and starts it.
    static std::variant<std::unique_ptr<ScreenCastSession>, Error> record(GDBusConnection* connection,
                                                                          std::uint64_t windowID);
    // Stops the session unless it closed.
    ~ScreenCastSession();
    ScreenCastSession(const ScreenCastSession&) = delete;
    ScreenCastSession& operator=(const ScreenCastSession&) = delete;

    int fd() const { return wakeFd_; }
    void dispatch();

    // The PipeWire node that carries the window, once Mutter named it.
    std::optional<std::uint32_t> node() const { return node_; }
    // Mutter closed the session: the user stopped it, or the window went.
    bool closed() const { return closed_; }
    // The ScreenCast service left the bus: the shell ended.
    bool serviceGone() const { return serviceGone_; }

private:
    ScreenCastSession(GDBusConnection* connection, std::string path);
    void subscribe(const std::string& streamPath);

    static void onClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer);
    static void onStreamAdded(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                              gpointer);
    static void onOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                               gpointer);

    GDBusConnection* connection_;
    const std::string path_;
    GMainContext* context_;
    int wakeFd_ = -1;
    guint subscriptions_[3] = {0, 0, 0};
    std::optional<std::uint32_t> node_;
    bool closed_ = false;
    bool serviceGone_ = false;
    bool started_ = false;
};

}  // namespace kestrova::platform::gnome
