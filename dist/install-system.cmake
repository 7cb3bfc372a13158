# Run by `cmake --install`: the files that name installed paths, written for
# the prefix of this install. Under /usr the system's own folders (/lib for
# units, /etc) are used, as a distribution package lays them out; under any
# other prefix everything stays inside it. file(INSTALL) adds DESTDIR itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
  set(tmpfiles_dir /usr/lib/tmpfiles.d)
  set(sysconf_dir /etc)
else()
  set(unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  set(tmpfiles_dir ${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d)
  set(sysconf_dir ${CMAKE_INSTALL_PREFIX}/etc)
endif()

set(SBINDIR ${CMAKE_INSTALL_PREFIX}/${VELARN_SBINDIR})
set(PREFIX ${CMAKE_INSTALL_PREFIX})
set(LIBDIR ${CMAKE_INSTALL_PREFIX}/${VELARN_LIBDIR})
set(INCLUDEDIR ${CMAKE_INSTALL_PREFIX}/${VELARN_INCLUDEDIR})
set(VERSION ${VELARN_VERSION})
set(out ${VELARN_DIST_BINARY}/install)
foreach(f systemd/kevad.service systemd/vlncard.service libvln.pc)
  configure_file(${VELARN_DIST}/${f}.in ${out}/${f} @ONLY)
endforeach()

file(INSTALL ${out}/systemd/kevad.service ${out}/systemd/vlncard.service DESTINATION ${unit_dir})
file(INSTALL ${VELARN_DIST}/systemd/velarn.conf DESTINATION ${tmpfiles_dir})
file(INSTALL ${out}/libvln.pc DESTINATION ${LIBDIR}/pkgconfig)
if(VELARN_AUTOSTART)
  file(INSTALL ${VELARN_AUTOSTART} DESTINATION ${sysconf_dir}/xdg/autostart RENAME vlngui.desktop)
endif()
