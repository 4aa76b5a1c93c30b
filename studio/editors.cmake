# The scene editor and zone editor dialogs, run by the Scene Manager.
add_library(corvalind_editors STATIC
  scene_editor_dialog.cpp
  scene_editor_dialog.h
  zone_editor_dialog.cpp
  zone_editor_dialog.h
)
target_link_libraries(corvalind_editors PUBLIC corvalind_engine Qt6::Widgets)

if(CORVALIND_BUILD_TESTS)
  add_executable(editors_tests tests/editors_test.cpp)
  target_link_libraries(editors_tests PRIVATE corvalind_editors Qt6::Test GTest::gtest)
  gtest_discover_tests(editors_tests DISCOVERY_TIMEOUT 60)
endif()
