#pragma once

#include "Error.hpp"
#include "GnomeScreenCapture.hpp"

#include <gio/gio.h>

#include <memory>
#include <string>
#include <variant>

namespace kestrova::platform::gnome {

Error makeError(ErrorCode code, std::string description);
Error connectionLostError();

struct UnrefObject {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct UnrefVariant {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, UnrefVariant>;

// A connection of its own to the session bus, closed when it goes: Mutter ends the casts of a client whose
// connection closes.
class BusConnection {
public:
    static std::variant<BusConnection, Error> connect();
    BusConnection(BusConnection&&) noexcept = default;
    BusConnection& operator=(BusConnection&&) noexcept = default;
    ~BusConnection();

    GDBusConnection* get() const { return connection_.get(); }
    bool closed() const { return g_dbus_connection_is_closed(connection_.get()); }

private:
    explicit BusConnection(GDBusConnection* connection) : connection_(connection) {}
    std::unique_ptr<GDBusConnection, UnrefObject> connection_;
};

// Why a call failed: the D-Bus error name (empty for a local failure) and the message.
struct CallFailure {
    std::string name;
    std::string message;

    // No one owns the called name (any more).
    bool noOwner() const;
    // A method or object the name's owner does not offer.
    bool unknownMethod() const;
};

// A method call and its reply, checked against the reply type; `parameters` is consumed when floating.
std::variant<Variant, CallFailure> callMethod(GDBusConnection* connection, const char* destination, const char* path,
                                              const char* interface, const char* method, GVariant* parameters,
                                              const char* replyType);

// Whether someone owns the name on the bus; false when the bus cannot say.
bool nameHasOwner(GDBusConnection* connection, const char* name);

}  // namespace kestrova::platform::gnome
