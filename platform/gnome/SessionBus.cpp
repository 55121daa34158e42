#include "SessionBus.hpp"

#include <array>
#include <string_view>

namespace kestrova::platform::gnome {

namespace {

// A shell that does not answer within this is taken to be gone.
constexpr int kCallTimeoutMs = 5000;

}  // namespace

Error makeError(ErrorCode code, std::string description) {
    return Error(std::move(description), kErrorDomain, static_cast<int>(code));
}

Error connectionLostError() { return makeError(ErrorCode::connectionLost, "Se perdió la conexión con GNOME Shell"); }

std::variant<BusConnection, Error> BusConnection::connect() {
    const auto failed = [] {
        return makeError(ErrorCode::connectFailed, "No se puede conectar con el bus de sesión");
    };
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!address) return failed();
    const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                         G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(address, flags, nullptr, nullptr, nullptr);
    g_free(address);
    if (!connection) return failed();
    // A bus that goes away is reported as an error, never by ending the process.
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return BusConnection(connection);
}

BusConnection::~BusConnection() {
    if (connection_ && !closed()) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

bool CallFailure::noOwner() const {
    return name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

bool CallFailure::unknownMethod() const {
    static constexpr std::array<std::string_view, 3> kUnknown{"org.freedesktop.DBus.Error.UnknownMethod",
                                                              "org.freedesktop.DBus.Error.UnknownObject",
                                                              "org.freedesktop.DBus.Error.UnknownInterface"};
    for (const auto unknown : kUnknown) {
        if (name == unknown) return true;
    }
    return false;
}

std::variant<Variant, CallFailure> callMethod(GDBusConnection* connection, const char* destination, const char* path,
                                              const char* interface, const char* method, GVariant* parameters,
                                              const char* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection, destination, path, interface, method, parameters,
                                                  G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                  kCallTimeoutMs, nullptr, &error);
    if (reply) return Variant(reply);
    CallFailure failure;
    if (gchar* remote = g_dbus_error_get_remote_error(error)) {
        failure.name = remote;
        g_free(remote);
        g_dbus_error_strip_remote_error(error);
    }
    failure.message = error->message;
    g_error_free(error);
    return failure;
}

bool nameHasOwner(GDBusConnection* connection, const char* name) {
    auto reply = callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameHasOwner", g_variant_new("(s)", name), "(b)");
    auto* owned = std::get_if<Variant>(&reply);
    if (!owned) return false;
    gboolean has = FALSE;
    g_variant_get(owned->get(), "(b)", &has);
    return has;
}

}  // namespace kestrova::platform::gnome
