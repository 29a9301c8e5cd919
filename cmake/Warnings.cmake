# One interface target carries the warning flags, the strict Qt defines and,
# when asked for, -Werror and the sanitizers. Every target of ours links it.
add_library(natter_warnings INTERFACE)
target_compile_options(natter_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wnon-virtual-dtor
  -Woverloaded-virtual -Wcast-qual -Wformat=2 -Wundef -Wnull-dereference
  -Wimplicit-fallthrough -Wmissing-declarations)
target_compile_definitions(natter_warnings INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_CONTEXTLESS_CONNECT QT_NO_URL_CAST_FROM_STRING QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_STRICT_ITERATORS QT_NO_FOREACH QT_NO_KEYWORDS)
if(NATTER_WERROR)
  target_compile_options(natter_warnings INTERFACE -Werror)
endif()
if(NATTER_SANITIZE)
  target_compile_options(natter_warnings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(natter_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(NATTER_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "NATTER_BUILD_FUZZ needs clang (scripts/fuzz.sh picks clang++-14)")
  endif()
  # Every library a fuzz target links is instrumented for coverage and checked
  # by the sanitizers; only the fuzz executables link the fuzzer's own main
  # (tests/fuzz). Qt, a system library, stays uninstrumented.
  target_compile_options(natter_warnings INTERFACE -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(natter_warnings INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
endif()
