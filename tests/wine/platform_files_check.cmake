# platform_files_check.exe: the Windows file layer checked under Wine.
if(WIN32)
  add_executable(platform_files_check ${CMAKE_CURRENT_LIST_DIR}/platform_files_check.cpp)
  target_link_libraries(platform_files_check PRIVATE autoupdate_core)
  target_link_options(platform_files_check PRIVATE -static -static-libgcc -static-libstdc++)
endif()
