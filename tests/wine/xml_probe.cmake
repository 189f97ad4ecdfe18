# xml_probe: the same script of XmlConfigReader operations on both back ends,
# compared by xml_probe_compare.sh.
add_executable(xml_probe ${CMAKE_CURRENT_LIST_DIR}/xml_probe.cpp)
target_link_libraries(xml_probe PRIVATE autoupdate_core)
if(WIN32)
  target_link_options(xml_probe PRIVATE -static -static-libgcc -static-libstdc++)
endif()
