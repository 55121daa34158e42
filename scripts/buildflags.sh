# The compiler flags of the build trees; sourced by scripts/setup and scripts/test.
# kestrova_cmake_flags ROOT KIND sets KESTROVA_CMAKE_FLAGS to cmake's -D options for a tree of that kind:
#   hardened   Debian's hardening flags at RelWithDebInfo: build/, which the tests use and scripts/package packs
#   debug      the sanitizer trees: only the map of the source folder
# Both map the source folder to "." (dpkg-buildflags adds the map itself), so that ccache also finds the compiles of
# another clone of the tree: without it, debug information carries the folder and ccache misses.
kestrova_cmake_flags() {
  local root=$1 kind=$2
  case "$kind" in
    hardened)
      local cflags cxxflags cppflags ldflags
      # dpkg-buildflags maps the folder it runs in.
      cflags=$(cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CFLAGS) || return 1
      cxxflags=$(cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) || return 1
      cppflags=$(cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS) || return 1
      ldflags=$(cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS) || return 1
      KESTROVA_CMAKE_FLAGS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$cflags $cppflags"
        -DCMAKE_CXX_FLAGS="$cxxflags $cppflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags")
      ;;
    debug)
      KESTROVA_CMAKE_FLAGS=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="-ffile-prefix-map=$root=."
        -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$root=.")
      ;;
    *) echo "kestrova_cmake_flags: unknown kind $kind" >&2; return 1 ;;
  esac
}
