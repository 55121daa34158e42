# The Debian package, made by CPack from the install rules: kestrova-bridge_<version>_amd64.deb. dpkg-shlibdeps
# computes Depends from the installed programs; PipeWire is only recommended, since without a daemon the program
# still runs and says so in its status line. Qt's SVG plugins draw the installed icon. Qt's Wayland platform plugin,
# which no program links, is what lets the program run on a Wayland session without an X server (GNOME's).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrova-bridge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KESTROVA_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "publica una pantalla Kestrova como fuente de video")
set(CPACK_PACKAGE_DESCRIPTION
    "Un programa del área de notificación que encuentra las ventanas
«Kestrova Output |» del programa compañero, captura la elegida y publica
sus cuadros en PipeWire como la fuente de video en vivo «Kestrova Bridge»,
que OBS Studio, GStreamer y los navegadores reciben como una cámara.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTROVA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
