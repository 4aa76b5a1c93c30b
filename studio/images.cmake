# The picture sources: image layers (overlay, background), slide shows and
# their forms, read through FreeImage.
find_path(FREEIMAGE_INCLUDE_DIR FreeImage.h REQUIRED)
find_library(FREEIMAGE_LIBRARY freeimage REQUIRED)

add_library(corvalind_images STATIC
  image_forms.cpp
  image_forms.h
  image_layer.cpp
  image_layer.h
  picture_file.cpp
  picture_file.h
  slideshow.cpp
  slideshow.h
)
target_include_directories(corvalind_images PUBLIC ${FREEIMAGE_INCLUDE_DIR})
target_link_libraries(corvalind_images PUBLIC corvalind_studio corvalind_widgets Qt6::Widgets
                      ${FREEIMAGE_LIBRARY})

if(CORVALIND_BUILD_TESTS)
  add_executable(images_tests tests/images_test.cpp)
  target_link_libraries(images_tests PRIVATE corvalind_images GTest::gtest)
  gtest_discover_tests(images_tests DISCOVERY_TIMEOUT 60)
endif()

corvalind_add_fuzzer(picture_fuzzer SOURCES fuzz/picture_fuzzer.cpp
                     CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/picture_corpus LIBS corvalind_images)
