#include "Connection.hpp"

#include <csignal>

#include <pthread.h>

namespace kestrova::platform::x11 {

std::string resolvedDisplayName(const std::string& display) {
    if (!display.empty()) return display;
    const char* fromEnvironment = std::getenv("DISPLAY");
    return fromEnvironment ? fromEnvironment : "";
}

Error makeError(ErrorCode code, std::string description) {
    return Error(std::move(description), kErrorDomain, static_cast<int>(code));
}

Error connectionLost(const std::string& displayName) {
    return makeError(ErrorCode::connectionLost,
                     "Se perdió la conexión con el servidor gráfico X de la pantalla \"" + displayName + "\"");
}

void blockBrokenPipeSignal() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

std::variant<std::unique_ptr<Connection>, Error> Connection::open(const std::string& display) {
    const std::string name = resolvedDisplayName(display);
    if (name.empty()) {
        return makeError(ErrorCode::connectFailed,
                         "No se pudo conectar con el servidor gráfico X: la variable DISPLAY no está definida");
    }
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(name.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return makeError(ErrorCode::connectFailed,
                         "No se pudo conectar con el servidor gráfico X de la pantalla \"" + name + "\"");
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) {
        xcb_disconnect(connection);
        return makeError(ErrorCode::connectFailed, "La pantalla \"" + name + "\" no existe en el servidor gráfico X");
    }
    return std::unique_ptr<Connection>(new Connection(connection, screens.data, name));
}

Connection::~Connection() { xcb_disconnect(connection_); }

}  // namespace kestrova::platform::x11
