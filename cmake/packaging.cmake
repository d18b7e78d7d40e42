# Installation layout and the Debian packages: one package per program
# (stream-relay, accessory-bridge, relay-probe), each with its own component.
#   cpack --config <build>/CPackConfig.cmake     (scripts/build-packages.sh does all three architectures)
# Included from the top-level CMakeLists.txt after the programs' folders.
include(GNUInstallDirs)

set(PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
# Debian bookworm keeps units and udev rules under /lib (usr-merged systems alias it).
set(SYSTEMD_UNIT_DIR /lib/systemd/system)
set(UDEV_RULES_DIR /lib/udev/rules.d)
set(SYSUSERS_DIR /usr/lib/sysusers.d)

if(NOT DEB_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE DEB_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

# Writes the maintainer scripts of one package from the shared templates.
function(board_maintainer_scripts program enable_at_boot udev_rule out_var)
  set(PROGRAM ${program})
  set(ENABLE_AT_BOOT ${enable_at_boot})
  set(UDEV_RULE ${udev_rule})
  set(scripts "")
  foreach(step postinst prerm postrm)
    configure_file(${PACKAGING_DIR}/debian/${step}.in ${CMAKE_BINARY_DIR}/debian/${program}/${step} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    list(APPEND scripts ${CMAKE_BINARY_DIR}/debian/${program}/${step})
  endforeach()
  set(${out_var} ${scripts} PARENT_SCOPE)
endfunction()

# The relay: program, unit started at boot, service user.
install(TARGETS stream-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
install(FILES ${PACKAGING_DIR}/systemd/stream-relay.service DESTINATION ${SYSTEMD_UNIT_DIR} COMPONENT relay)
install(FILES ${PACKAGING_DIR}/sysusers/stream-relay.conf DESTINATION ${SYSUSERS_DIR} COMPONENT relay)
board_maintainer_scripts(stream-relay yes no relay_scripts)
set(packaged_components relay)

# The bridge: program, unit started by the udev rule, service user.
if(TARGET accessory-bridge)
  install(TARGETS accessory-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT bridge)
  install(FILES ${PACKAGING_DIR}/systemd/accessory-bridge.service DESTINATION ${SYSTEMD_UNIT_DIR}
          COMPONENT bridge)
  install(FILES ${PACKAGING_DIR}/udev/70-accessory-bridge.rules DESTINATION ${UDEV_RULES_DIR} COMPONENT bridge)
  install(FILES ${PACKAGING_DIR}/sysusers/accessory-bridge.conf DESTINATION ${SYSUSERS_DIR} COMPONENT bridge)
  board_maintainer_scripts(accessory-bridge no yes bridge_scripts)
  list(APPEND packaged_components bridge)
endif()

# The viewer probe, for laptops as much as for the board.
if(TARGET relay-probe)
  install(TARGETS relay-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT probe)
  list(APPEND packaged_components probe)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessivar board maintainers <board@tessivar.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${packaged_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# What dpkg-shlibdeps finds for Debian bookworm's toolchain and libraries; armhf programs
# also need libgcc_s (GCC_3.5, ARM unwinding). tests/packaging checks these against each
# program's needed libraries.
set(libc_depends "libc6 (>= 2.34), libgcc-s1 (>= 3.5)")

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME stream-relay)
set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS "${libc_depends}, libstdc++6 (>= 4.4)")
set(CPACK_DEBIAN_RELAY_PACKAGE_RECOMMENDS systemd)
set(CPACK_COMPONENT_RELAY_DESCRIPTION "Fans the board's video out to up to ten viewers on UDP port 4242\n\
Takes the encoder's UDP datagrams on 127.0.0.1:5000 and sends each one, behind a 12-byte\n\
header, to every viewer that keeps registering. Runs as the stream-relay service.")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA "${relay_scripts}")

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME accessory-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS "${libc_depends}, libusb-1.0-0 (>= 2:1.0.22)")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_RECOMMENDS "systemd, udev")
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION "Forwards UDP datagrams on port 3020 to an Android phone on USB\n\
Switches the phone into accessory mode and writes every datagram to it as one bulk\n\
transfer. Started by its udev rule when a phone is plugged in.")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA "${bridge_scripts}")

set(CPACK_DEBIAN_PROBE_PACKAGE_NAME relay-probe)
set(CPACK_DEBIAN_PROBE_PACKAGE_DEPENDS "${libc_depends}")
set(CPACK_COMPONENT_PROBE_DESCRIPTION "Viewer that checks a stream relay's output from the network\n\
Registers with a relay, counts the datagrams, the rate, losses, reordering and jitter\n\
once a second, and can write the payloads to a file.")

include(CPack)
