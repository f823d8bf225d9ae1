# Four Debian packages made by CPack from the install components (scripts/package.sh):
#   libcorvane-platform1     runtime    the platform library
#   corvane                  module     the control, corvane-register, corvane-ports, corvane-device, man pages, messages,
#                                       docs; registers the control for all users
#   libcorvane-platform-dev  dev        headers, CMake and pkg-config files, example host
#   sampleton                sampleton  the window, its desktop entry and icon
#   python3-corvane          python     the Python module corvane
option(CORVANE_PACKAGE_DEB "Install each Debian package's copyright and changelog" OFF)

set(debian_packages runtime libcorvane-platform1 module corvane dev libcorvane-platform-dev)
if(TARGET Sampleton)
  list(APPEND debian_packages sampleton sampleton)
endif()
if(TARGET corvane_python)
  list(APPEND debian_packages python python3-corvane)
endif()

# Maintainer scripts of the control's package, with the installed paths filled in.
set(CORVANE_MODULE ${CMAKE_INSTALL_FULL_LIBDIR}/corvane/Corvane.so)
set(maintainer_scripts)
foreach(script postinst prerm postrm)
  configure_file(debian/${script}.in ${CMAKE_CURRENT_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  list(APPEND maintainer_scripts ${CMAKE_CURRENT_BINARY_DIR}/debian/${script})
endforeach()

# The runtime library's package refreshes the linker cache through dpkg's ldconfig trigger
# (CPack adds ldconfig calls only to a package without a postinst and postrm of its own). Its
# scripts move the machine-wide registry from where packages before 1.0.1 kept it.
configure_file(debian/runtime-triggers ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime/triggers COPYONLY)
set(runtime_control_files ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime/triggers)
foreach(script preinst postinst postrm)
  configure_file(debian/runtime-${script}.in ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND runtime_control_files ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime/${script})
endforeach()

# The Python module's package byte-compiles its files on installation and removes the
# compiled files before removal.
set(python_control_files)
foreach(script postinst prerm)
  configure_file(debian/python-${script} ${CMAKE_CURRENT_BINARY_DIR}/debian/python/${script}
                 COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                           GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND python_control_files ${CMAKE_CURRENT_BINARY_DIR}/debian/python/${script})
endforeach()

if(CORVANE_PACKAGE_DEB)
  configure_file(debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
            > ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
  add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)

  # The library's symbols file, for the programs built against it: each exported symbol with
  # the version that introduced it (debian/libcorvane-platform1.symbols). dpkg-gensymbols
  # fails the build when the library exports anything more or less than that list says.
  set(runtime_symbols ${CMAKE_CURRENT_BINARY_DIR}/debian/runtime/symbols)
  # dpkg-gensymbols reads the source package's control file (newer dpkg insists): the fields
  # it needs of it.
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/control
       "Source: corvane\n\nPackage: libcorvane-platform1\nArchitecture: any\n")
  add_custom_command(OUTPUT ${runtime_symbols}
    COMMAND dpkg-gensymbols -plibcorvane-platform1 -v${PROJECT_VERSION} -c4
            -e$<TARGET_FILE:platform>
            -I${CMAKE_CURRENT_SOURCE_DIR}/debian/libcorvane-platform1.symbols -O${runtime_symbols}
    DEPENDS platform ${CMAKE_CURRENT_SOURCE_DIR}/debian/libcorvane-platform1.symbols
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  add_custom_target(debian_symbols ALL DEPENDS ${runtime_symbols})
  list(APPEND runtime_control_files ${runtime_symbols})
  while(debian_packages)
    list(POP_FRONT debian_packages component package)
    install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endwhile()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvane developers")
set(CPACK_PACKAGE_CONTACT "Corvane developers <corvane@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvane developers <corvane@example.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime module dev)
if(TARGET Sampleton)
  list(APPEND CPACK_COMPONENTS_ALL sampleton)
endif()
if(TARGET corvane_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The platform library comes from this build: found here, depended on by name below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(exact_version "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcorvane-platform1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The symbols file pins each program to the version that introduced what it uses; the shlibs
# file, for tools that read no symbols file, to this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${runtime_control_files})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Several architectures' builds of the library can be installed side by side: it lies in the
# architecture's own library folder and its other files are the same on every architecture.
# CPack has no variable for the field; debian/multiarch_same.cmake adds it to the built package.
set(CPACK_CORVANE_MULTIARCH_SAME_PACKAGES libcorvane-platform1)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/debian/multiarch_same.cmake)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Corvane desktop platform - shared library
The small desktop platform Corvane stands on: component model and registry
(per user and machine-wide), module loader, message loop, code page 932,
private-profile (INI) files and the machine's serial ports.")

set(CPACK_DEBIAN_MODULE_PACKAGE_NAME corvane)
set(CPACK_DEBIAN_MODULE_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_MODULE_PACKAGE_DEPENDS "libcorvane-platform1 ${exact_version}")
set(CPACK_DEBIAN_MODULE_PACKAGE_CONTROL_EXTRA ${maintainer_scripts})
set(CPACK_DEBIAN_MODULE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_MODULE_DESCRIPTION "serial-port communications control Portula
Corvane's control Portula carries serial-port traffic, or the same traffic
over UDP, for programs built on the Corvane platform. The package registers
it for all users of the machine; corvane-register registers other builds,
corvane-ports lists the machine's serial ports and says which port
number opens each, and corvane-device serves virtual serial devices
(a null-modem pair, an echo, recordings and their replay, faults on cue)
for testing without hardware.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcorvane-platform-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The pkg-config file names libudev among the library's private requirements, which
# pkg-config insists on finding. The runtime package's libudev1 comes from shlibdeps.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcorvane-platform1 ${exact_version}, libudev-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "Corvane desktop platform - development files
Headers of the Corvane platform and the published identifiers of the Portula
control, the CMake package (find_package(Corvane)) and the pkg-config file
corvane-platform, with an example host.")

set(CPACK_DEBIAN_SAMPLETON_PACKAGE_NAME sampleton)
set(CPACK_DEBIAN_SAMPLETON_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_SAMPLETON_PACKAGE_DEPENDS
    "corvane ${exact_version}, libcorvane-platform1 ${exact_version}")
set(CPACK_DEBIAN_SAMPLETON_DESCRIPTION "test window for the Portula control
Sampleton hosts one Portula control, sends a numbered test frame per button
press over UDP or a serial port and shows a transcript of everything sent and
received.")

# The extension module is built for one Python version (its file name says which).
if(TARGET corvane_python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-corvane)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(python_version ${CORVANE_PYTHON_VERSION_MAJOR}.${CORVANE_PYTHON_VERSION_MINOR})
  math(EXPR next_python_minor "${CORVANE_PYTHON_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libcorvane-platform1 ${exact_version}, \
python3 (>= ${python_version}~), python3 (<< ${CORVANE_PYTHON_VERSION_MAJOR}.${next_python_minor})")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "corvane")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${python_control_files})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module to drive Corvane controls by name
The module corvane creates any control registered on the Corvane platform by
its ProgID (such as Corvane.Portula) or CLSID and reaches its members by name,
with its events, from Python. It runs the platform's message loop by itself or
inside asyncio.")
endif()

include(CPack)
