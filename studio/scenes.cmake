# The scene list file (scenes.xml): reading and writing the engine's scenes.
# Included from studio/CMakeLists.txt, so paths are relative to studio/.
add_library(corvalind_scenes STATIC ${CMAKE_CURRENT_SOURCE_DIR}/scene_list_file.cpp)
target_link_libraries(corvalind_scenes
  PUBLIC corvalind_engine corvalind_platform
  PRIVATE PkgConfig::TINYXML)

if(CORVALIND_BUILD_TESTS)
  add_executable(scene_list_tests ${CMAKE_CURRENT_SOURCE_DIR}/tests/scene_list_file_test.cpp)
  target_link_libraries(scene_list_tests PRIVATE corvalind_scenes GTest::gtest GTest::gtest_main)
  # The prefix lets "ctest -R scene_list" pick these tests.
  gtest_discover_tests(scene_list_tests TEST_PREFIX "scene_list." DISCOVERY_TIMEOUT 60)
endif()

# The fuzz target checks the parser's nesting bound against TinyXML itself,
# so it links the library directly as well.
corvalind_add_fuzzer(scenes_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/scenes_fuzzer.cpp
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/scenes_corpus
  LIBS corvalind_scenes PkgConfig::TINYXML)
