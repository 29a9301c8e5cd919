# `cpack -G DEB` builds a Debian package of the program and the log reader.
# scripts/build-package.sh configures a hardened build for it, builds the
# package and checks it.
set(CPACK_PACKAGE_NAME "natter-duo")
set(CPACK_PACKAGE_VENDOR "The Natter Duo developers")
# A maintainer field needs a mail address; this one is deliberately not a
# real domain (.invalid) until the project has an address of its own.
set(CPACK_PACKAGE_CONTACT "The Natter Duo developers <natter-duo@developers.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "private one-to-one chat between two computers, with no server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY "natter-duo")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_NATTER_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/StripPackage.cmake")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Natter Duo lets two people hold a private text conversation directly
between their two computers over TCP, with no chat server, account or
advertising in between. One copy hosts on a port (6767 by default), the
other joins with the host's address and port; a host talks with one
partner at a time.
.
Lines are shown colour-coded and can be saved as dated rich-text logs,
which the included log reader (natter-logreader) opens. Lines travel
lightly enciphered with a fixed substitution cipher, which is not
encryption.")
# The libraries the programs link give the dependencies; the window-system
# plug-ins are loaded at run time, so they are named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
