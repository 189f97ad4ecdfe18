# platform_files_check.exe: the Windows file layer checked under Wine.
if(WIN32)
  add_executable(platform_files_check ${CMAKE_CURRENT_LIST_DIR}/platform_files_check.cpp)
  target_link_libraries(platform_files_check PRIVATE autoupdate_core)
  target_link_options(platform_files_check PRIVATE -static -static-libgcc -static-libstdc++)
endif()

# platform_crypto_check.exe: SHA-256 and P-256 signatures through CNG.
if(WIN32)
  add_executable(platform_crypto_check ${CMAKE_CURRENT_LIST_DIR}/platform_crypto_check.cpp)
  target_link_libraries(platform_crypto_check PRIVATE autoupdate_core)
  target_link_options(platform_crypto_check PRIVATE -static -static-libgcc -static-libstdc++)
endif()

# platform_http_check.exe: the HTTP rows through WinHTTP.
if(WIN32)
  add_executable(platform_http_check ${PROJECT_SOURCE_DIR}/tests/unit/platform_http_check.cpp)
  target_link_libraries(platform_http_check PRIVATE autoupdate_core)
  target_link_options(platform_http_check PRIVATE -static -static-libgcc -static-libstdc++)
endif()
