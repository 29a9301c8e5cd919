# `cpack -G DEB` builds a Debian package of the program and the log reader.
set(CPACK_PACKAGE_NAME "natter-duo")
set(CPACK_PACKAGE_VENDOR "Duo Software Works")
set(CPACK_PACKAGE_CONTACT "Duo Software Works <support@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Private one-to-one chat between two computers, with no server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY "natter")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.org/natterduo/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The shared libraries the binaries link give most dependencies; the window
# system plug-in and the sound back end are loaded at run time, so name them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6multimedia6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
include(CPack)
