# The compiler flags of the build trees; sourced by scripts/setup and scripts/test.
# kestrova_cmake_flags ROOT KIND sets KESTROVA_CMAKE_FLAGS to cmake's -D options for a tree of that kind:
#   hardened   Debian's hardening flags at RelWithDebInfo: build/, which the tests use and scripts/package packs
#   debug      the sanitizer trees
# CMakeLists.txt maps the source folder to "." in debug information, so that ccache finds the compiles of another
# clone of the tree (dpkg-buildflags adds that map too).
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
      KESTROVA_CMAKE_FLAGS=(-DCMAKE_BUILD_TYPE=Debug)
      ;;
    *) echo "kestrova_cmake_flags: unknown kind $kind" >&2; return 1 ;;
  esac
}
