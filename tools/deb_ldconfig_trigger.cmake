# CPack post-build step for the Debian package. CPack's DEB generator writes a
# postinst and a postrm that call ldconfig for any library under /usr/lib;
# Debian refreshes the ldconfig cache through libc's trigger instead (the
# package's "triggers" file activates it), and maintainer scripts that call
# ldconfig are an error there. This rebuilds each package without those two
# scripts when they do nothing else.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(root ${CMAKE_CURRENT_BINARY_DIR}/deb-fixup)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND ${DPKG_DEB} -R ${deb} ${root} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  foreach(script postinst postrm)
    set(path ${root}/DEBIAN/${script})
    if(EXISTS ${path})
      file(STRINGS ${path} lines)
      set(other FALSE)
      foreach(line IN LISTS lines)
        if(NOT line MATCHES "^#" AND NOT line MATCHES "^[ \t]*$" AND NOT line MATCHES "ldconfig" AND
           NOT line MATCHES "^[ \t]*(set -e|fi|then|exit 0)[ \t]*$" AND NOT line MATCHES "^[ \t]*if ")
          set(other TRUE)
        endif()
      endforeach()
      if(NOT other)
        file(REMOVE ${path})
      endif()
    endif()
  endforeach()
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build ${root} ${deb} RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${deb} failed")
  endif()
  file(REMOVE_RECURSE ${root})
endforeach()
