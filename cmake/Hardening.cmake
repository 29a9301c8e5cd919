# NATTER_HARDEN: the hardening a distribution package is built with (fortified
# library calls, stack protector, read-only relocations bound at start-up,
# position-independent executables). Needs an optimised build; the package
# script turns it on.
option(NATTER_HARDEN "Build with the hardening flags of a distribution package" OFF)
if(NATTER_HARDEN)
  if(NATTER_SANITIZE)
    message(FATAL_ERROR "NATTER_HARDEN and NATTER_SANITIZE do not go together")
  endif()
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  target_compile_options(natter_warnings INTERFACE -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2
    -fstack-protector-strong -fstack-clash-protection)
  target_link_options(natter_warnings INTERFACE -Wl,-z,relro,-z,now)
endif()
