# reentry_probe.exe: a launcher that calls the library from its window
# procedure; reentry_test.py runs it under Wine.
if(WIN32)
  add_executable(reentry_probe ${CMAKE_CURRENT_LIST_DIR}/reentry_probe.cpp)
  target_include_directories(reentry_probe PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_options(reentry_probe PRIVATE -static -static-libgcc -static-libstdc++)
endif()
