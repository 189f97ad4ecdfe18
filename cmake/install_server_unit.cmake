# Runs at install time (see server_package.cmake): writes the systemd unit with
# ExecStart and Documentation naming where this install puts the binary and
# the README, into the directory systemd reads for this prefix.
#   in: AUTOUPDATE_UNIT_SOURCE, AUTOUPDATE_UNIT_STAGING, AUTOUPDATE_BINDIR, AUTOUPDATE_DOCDIR

foreach(dir BINDIR DOCDIR)
  if(IS_ABSOLUTE "${AUTOUPDATE_${dir}}")
    set(full_${dir} "${AUTOUPDATE_${dir}}")
  else()
    set(full_${dir} "${CMAKE_INSTALL_PREFIX}/${AUTOUPDATE_${dir}}")
  endif()
endforeach()

# The repository's unit names a hand install to /usr/local.
set(source_exec "ExecStart=/usr/local/bin/update-server ")
set(source_doc "Documentation=file:///usr/local/share/doc/autoupdate-server/README.md")
file(READ "${AUTOUPDATE_UNIT_SOURCE}" unit)
foreach(expected source_exec source_doc)
  string(FIND "${unit}" "${${expected}}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${AUTOUPDATE_UNIT_SOURCE} no longer has the line '${${expected}}' this script rewrites")
  endif()
endforeach()
string(REPLACE "${source_exec}" "ExecStart=${full_BINDIR}/update-server " unit "${unit}")
string(REPLACE "${source_doc}" "Documentation=file://${full_DOCDIR}/README.md" unit "${unit}")

# Debian keeps the units of packages in /lib/systemd/system; systemd also
# reads PREFIX/lib/systemd/system for /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
else()
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()

file(WRITE "${AUTOUPDATE_UNIT_STAGING}/update-server.service" "${unit}")
file(INSTALL "${AUTOUPDATE_UNIT_STAGING}/update-server.service" DESTINATION "${unit_dir}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
