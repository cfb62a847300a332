# Installation and the Debian package.
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
#   share/mime/packages/velmoraupgrade.xml      the firmware file type (*.mot),
#                                               which the desktop entry opens
#                                               with "VelmoraUpgrade %f"
#   lib/udev/rules.d/70-terminal-kvz.rules      (KVZ_UDEV_RULES_DIR)
if(NOT TARGET VelmoraUpgrade)
  return()
endif()

include(GNUInstallDirs)
set(KVZ_INSTALL_LIBDIR "lib/velmoraupgrade" CACHE STRING "Folder of the programs, under the prefix")
set(KVZ_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "udev rules folder: relative to the prefix, or absolute (/etc/udev/rules.d)")

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
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmoraupgrade-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME velmoraupgrade.xml)
install(FILES ${PROJECT_SOURCE_DIR}/resources/images/app.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME velmoraupgrade.png)
install(FILES ${PROJECT_SOURCE_DIR}/resources/driver/70-terminal-kvz.rules DESTINATION ${KVZ_UDEV_RULES_DIR})

# CPack: a .deb for Debian 12.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmoraupgrade")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VelmoraUpgrade")
set(CPACK_PACKAGE_CONTACT "VelmoraUpgrade <velmoraupgrade@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Mise à jour du terminal de programmation par USB")
set(CPACK_PACKAGE_DESCRIPTION
    "Charge le firmware (fichier .mot) du terminal de programmation par USB HID et installe sa règle udev. "
    "Comprend une démonstration sur un terminal virtuel et l'outil motdump.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), qt6-qpa-plugins, libhidapi-hidraw0, libudev1, libjpeg62-turbo")
# shared-mime-info and desktop-file-utils update their caches through dpkg
# triggers when the package installs its type and desktop entry.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, udev, shared-mime-info, desktop-file-utils")
include(CPack)
