# C bindings of Wayland protocols, made by wayland-scanner at build time from the installed XML.
include_guard(GLOBAL)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET GLOBAL wayland-client)
# A cache entry, so that every directory that uses the function sees it.
find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)

# Adds to `target` the client header and glue code of each protocol file, named after the file.
function(kestrova_wayland_protocols target)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/wayland-protocols)
  file(MAKE_DIRECTORY ${out})
  foreach(xml ${ARGN})
    get_filename_component(base ${xml} NAME_WE)
    add_custom_command(
      OUTPUT ${out}/${base}-client-protocol.h ${out}/${base}-protocol.c
      COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${out}/${base}-client-protocol.h
      COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${out}/${base}-protocol.c
      DEPENDS ${xml}
      VERBATIM)
    target_sources(${target} PRIVATE ${out}/${base}-client-protocol.h ${out}/${base}-protocol.c)
  endforeach()
  # The generated files are not ours: no warnings-as-errors for them, and their directory is a system one.
  target_include_directories(${target} SYSTEM PRIVATE ${out})
  target_link_libraries(${target} PRIVATE PkgConfig::WAYLAND_CLIENT)
endfunction()
