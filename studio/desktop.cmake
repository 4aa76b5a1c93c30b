# Desktop capture: the capturer, its X11 screen, and the "Capture Desktop"
# source window.
pkg_check_modules(XCAP REQUIRED IMPORTED_TARGET x11 xext xfixes xrandr)
add_library(corvalind_desktop STATIC
  desktop_capture.cpp
  desktop_capture.h
  desktop_form.cpp
  desktop_form.h
  x11_screen.cpp
  x11_screen.h
)
target_link_libraries(corvalind_desktop PUBLIC corvalind_studio corvalind_widgets Qt6::Widgets PkgConfig::XCAP)

if(CORVALIND_BUILD_TESTS)
  add_executable(desktop_tests tests/desktop_test.cpp)
  target_link_libraries(desktop_tests PRIVATE corvalind_desktop GTest::gtest)
  gtest_discover_tests(desktop_tests DISCOVERY_TIMEOUT 60)
endif()
