# The Debian package: `cpack -G DEB` in a built tree. It holds what
# `cmake --install` installs, under /usr.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plexord)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Plexord developers")
set(CPACK_PACKAGE_CONTACT "Plexord maintainers <maintainers@users.noreply.c-seed-8a5b976e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "field-bus communication server and its operator console")
set(CPACK_PACKAGE_DESCRIPTION
  "Plexord connects field controllers (PLCs, MODBUS slaves, serial and ARCNET
controllers) to client programs. The package holds the operator console
(opsdesk), the headless server with its systemd unit, the field-bus driver
library (buslink), the console's UI helper library (widgetkit), the network
plug-ins, their headers and pkg-config files, the data and the Swedish
translation.")

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information names the build folders; a package ships without it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from the binaries; our own libraries are found in the
# package's lib folder and add none.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${CMAKE_INSTALL_LIBDIR})
# Programs that others package against our libraries depend on this one.
# Written here: CPack's own list would take the plug-ins, which have no
# versioned name, for libraries too.
set(shlibs)
foreach(lib basekit buslink plexord widgetkit)
  if(TARGET ${lib})
    string(APPEND shlibs "lib${lib} ${PROJECT_VERSION_MAJOR} plexord (>= ${PROJECT_VERSION})\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/shlibs CONTENT "${shlibs}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/shlibs)
# The toolkit's own catalogue: its stock buttons and dialogs in Swedish.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wx3.2-i18n")
# No maintainer scripts of ours: the service's user is made by systemd when it
# starts (DynamicUser), and the unit is left for the administrator to enable.
# CPack adds the ldconfig calls that libraries in /usr/lib need.

include(CPack)
