#pragma once

#include "ScreenCapture.hpp"

#include <chrono>
#include <cstdint>
#include <string_view>

// Every fixed value of the program. There is no configuration: these are the program's own settings.
namespace kestrova::constants {

// Windows whose title begins with this (case-sensitive, untrimmed) are the companion's outputs.
inline constexpr std::string_view kTitlePrefix = "Kestrova Output |";
// Shown for an output window that carries no title.
inline constexpr std::string_view kUntitledWindowTitle = "Kestrova Output";

// The name under which captured frames are published to other programs.
inline constexpr std::string_view kServerName = "Kestrova Bridge";

// Pause between the end of one discovery cycle and the start of the next.
inline constexpr std::chrono::nanoseconds kPollInterval{1'000'000'000};
// Signature marker after a reported discovery failure.
inline constexpr std::string_view kErrorSignature = "error";

// At most 60 frames per second: a minimum frame interval of value / timescale seconds.
inline constexpr std::int64_t kFrameIntervalValue = 1;
inline constexpr std::int32_t kFrameIntervalTimescale = 60;
inline constexpr int kQueueDepth = 3;
// 32-bit BGRA, the one format the capture delivers.
inline constexpr std::uint32_t kPixelFormatBGRA = platform::kPixelFormatBGRA;
// The capture is twice the window's size in points, whatever the display's own scale.
inline constexpr std::int64_t kCaptureScale = 2;
// Output type of a screen sample.
inline constexpr int kStreamOutputTypeScreen = 0;
// Frame status of a complete frame.
inline constexpr std::int64_t kFrameStatusComplete = 0;

inline constexpr std::string_view kFrameQueueLabel = "org.kestrova.KestrovaBridge.bridge.frames";

// The status item.
inline constexpr std::string_view kStatusItemTitle = "Kestrova";

// Status line texts.
inline constexpr std::string_view kStatusSearching = "Buscando pantallas Kestrova";
inline constexpr std::string_view kStatusNoWindows = "Sin pantallas Kestrova";
inline constexpr std::string_view kStatusChooseWindow = "Elegí una pantalla";
inline constexpr std::string_view kStatusTransmitting = "Transmitiendo como Kestrova Bridge";
inline constexpr std::string_view kStatusCapturingPrefix = "Capturando ";
inline constexpr std::string_view kStatusCapturingSuffix = "; falta Syphon";
inline constexpr std::string_view kStatusCaptureErrorPrefix = "Error: ";
inline constexpr std::string_view kStatusDiscoveryErrorPrefix = "Error de captura: ";
inline constexpr std::string_view kStatusStopFailed = "No se pudo detener la captura";

// Menu entries.
inline constexpr std::string_view kMenuNoOutputs = "No se detectaron salidas";
inline constexpr std::string_view kMenuPermission = "Permiso de grabación de pantalla\u2026";
inline constexpr std::string_view kMenuQuit = "Salir";
inline constexpr std::string_view kMenuQuitKey = "q";

// Opened by the permission entry. X11 asks no per-program permission to capture and the desktops' settings have
// no common address, so this is the desktop help's page on screen sharing, which a browser can always show.
inline constexpr std::string_view kScreenRecordingSettingsURL =
    "https://help.gnome.org/users/gnome-help/stable/sharing-desktop.html";

// The frame sink used when frames cannot be published.
inline constexpr std::string_view kDiagnosticSinkName = "Captura activa; Syphon no está enlazado";

// Command line.
inline constexpr std::string_view kSelfTestSwitch = "--self-test";
inline constexpr std::string_view kSelfTestLine = "Kestrova Bridge self-test: OK\n";

}  // namespace kestrova::constants
