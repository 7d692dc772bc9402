# Read by cpack before each generator runs. Without dpkg-shlibdeps, CPack only notes that it builds
# the Debian package with no Depends; such a package installs cleanly and then cannot run, so here
# that stops the package build.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  cmake_policy(PUSH)
  # A program is found only where it may be run, as CPack itself looks for it.
  cmake_policy(SET CMP0109 NEW)
  find_program(OSK_DPKG_SHLIBDEPS dpkg-shlibdeps)
  cmake_policy(POP)
  if(NOT OSK_DPKG_SHLIBDEPS)
    message(FATAL_ERROR
            "dpkg-shlibdeps is not installed (package dpkg-dev): the package's dependencies cannot "
            "be computed, and a package without them installs but cannot run.")
  endif()
endif()
