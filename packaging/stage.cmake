# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once every component is staged and
# before the packages are made: compresses what Debian wants compressed and
# stops a package that would carry the wrong paths or version.

set(prefix "${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")

foreach(file IN LISTS staged)
  # Manual pages and changelogs, as dh_compress would: -n keeps the name and
  # time out of the header, so the same sources give the same package.
  if(file MATCHES "/share/man/man[1-9]/[^/]+\\.[1-9]$"
     OR file MATCHES "/share/doc/[^/]+/changelog\\.Debian$")
    execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip ${file}: ${status}")
    endif()
  endif()

  # The unit is configured with the build's prefix; a tree configured for
  # /usr/local would start a program the package does not have.
  if(file MATCHES "/ternis-serve@\\.service$")
    file(STRINGS "${file}" exec_start REGEX "^ExecStart=")
    if(NOT exec_start MATCHES "^ExecStart=${prefix}/bin/ternis-serve ")
      message(FATAL_ERROR
        "The packaged unit says \"${exec_start}\", the package installs "
        "${prefix}/bin/ternis-serve: configure the build with "
        "-DCMAKE_INSTALL_PREFIX=${prefix} and run cpack again.")
    endif()
  endif()
endforeach()

# Software centres show the newest <release>: it must be this version.
list(FIND CPACK_COMPONENTS_ALL window window_index)
if(CPACK_TERNIS_METAINFO AND window_index GREATER -1)
  file(STRINGS "${CPACK_TERNIS_METAINFO}" release REGEX "<release " LIMIT_COUNT 1)
  if(NOT release MATCHES "version=\"${CPACK_PACKAGE_VERSION}\"")
    message(FATAL_ERROR
      "${CPACK_TERNIS_METAINFO}: the newest <release> is not "
      "${CPACK_PACKAGE_VERSION}; add a <release> for it.")
  endif()
endif()
