# Run by CPack after it built the Debian packages (CPACK_POST_BUILD_SCRIPTS): marks each
# package named in CPACK_CORVANE_MULTIARCH_SAME_PACKAGES "Multi-Arch: same", a field CPack's
# DEB generator does not write. The package is unpacked with dpkg-deb, given the field as the
# last of its control file and built again; its files and scripts stay as they were.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(file_name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package ${file_name})
  if(NOT package IN_LIST CPACK_CORVANE_MULTIARCH_SAME_PACKAGES)
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  if(control MATCHES "(^|\n)Multi-Arch:")
    message(FATAL_ERROR "${file_name} has a Multi-Arch field already")
  endif()
  # CPack ends the file with an empty line, which would start a second paragraph.
  string(STRIP "${control}" control)
  file(WRITE ${tree}/DEBIAN/control "${control}\nMulti-Arch: same\n")
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
