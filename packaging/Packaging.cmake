# Installation. The Debian package (debian/) is built by debhelper on top of
# this; it puts the udev rule in place itself (dh_installudev).
#
# Layout under the prefix (/usr in the package):
#   lib/velmoraupgrade/VelmoraUpgrade           the application; the delivered
#                                               .mot file goes beside it
#   lib/velmoraupgrade/demo/VelmoraUpgradeDemo  the demo and its sample firmware
#                                               (a folder of its own, so that the
#                                               application never loads the sample)
#   bin/VelmoraUpgrade, bin/VelmoraUpgradeDemo  symbolic links to them (each
#                                               program resolves its real folder)
#   bin/motdump
#   share/applications/*.desktop, share/icons/hicolor/64x64/apps/velmoraupgrade.png
#   share/metainfo/velmoraupgrade.metainfo.xml  for software centres, with the
#                                               terminal's USB id
#   share/mime/packages/velmoraupgrade.xml      the firmware file type (*.mot),
#                                               which the desktop entry opens
#                                               with "VelmoraUpgrade %f"
#   share/man/man1/*.1                          the manual pages, in French,
#                                               the programs' own language
#   lib/udev/rules.d/70-terminal-kvz.rules      (KVZ_UDEV_RULES_DIR; empty: not
#                                               installed)
if(NOT TARGET VelmoraUpgrade)
  return()
endif()

include(GNUInstallDirs)
# KVZ_INSTALL_LIBDIR (the programs' folder) is set by driver/, whose button
# tells an installed program by it.
set(KVZ_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "udev rules folder: relative to the prefix, or absolute (/etc/udev/rules.d); empty: no rule installed")

install(TARGETS VelmoraUpgrade RUNTIME DESTINATION ${KVZ_INSTALL_LIBDIR})
if(TARGET motdump)
  install(TARGETS motdump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
set(_kvz_links VelmoraUpgrade)
if(TARGET VelmoraUpgradeDemo)
  install(TARGETS VelmoraUpgradeDemo RUNTIME DESTINATION ${KVZ_INSTALL_LIBDIR}/demo)
  install(FILES ${PROJECT_BINARY_DIR}/demo/${KVZ_DEMO_FIRMWARE} DESTINATION ${KVZ_INSTALL_LIBDIR}/demo)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmoraupgrade-demo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  list(APPEND _kvz_links demo/VelmoraUpgradeDemo)
endif()
foreach(rel ${_kvz_links})
  get_filename_component(_name ${rel} NAME)
  install(CODE "
    set(_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${_bin}\")
    file(REMOVE \"\${_bin}/${_name}\")
    file(CREATE_LINK \"../${KVZ_INSTALL_LIBDIR}/${rel}\" \"\${_bin}/${_name}\" SYMBOLIC)
    message(STATUS \"Installing: \${_bin}/${_name} -> ../${KVZ_INSTALL_LIBDIR}/${rel}\")")
endforeach()

install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmoraupgrade.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmoraupgrade.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmoraupgrade-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME velmoraupgrade.xml)
install(FILES ${PROJECT_SOURCE_DIR}/resources/images/app.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME velmoraupgrade.png)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/VelmoraUpgrade.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET motdump)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/motdump.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET VelmoraUpgradeDemo)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/VelmoraUpgradeDemo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(KVZ_UDEV_RULES_DIR)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/driver/70-terminal-kvz.rules DESTINATION ${KVZ_UDEV_RULES_DIR})
endif()
