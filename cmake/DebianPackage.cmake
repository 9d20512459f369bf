# The Debian package of the Linux programs (scripts/package-deb.sh runs `cpack -G DEB`).
# The version is project(VERSION): the one vkprog --version and the About box print.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VK_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velkor ApS.")
set(CPACK_PACKAGE_CONTACT "V&K Programmer maintainers <maintainers@users.noreply.c-seed-3101e668.example>"
  CACHE STRING "The package's Maintainer field")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware programmer for V&K plug-in modules")
# The extended description (CPack puts the summary above it): what the package holds, and the
# one thing a user must do first.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "V&K Programmer loads firmware images (Intel HEX, Motorola S-records and the
V&K container), shows and converts them, and programs them into the modules'
microcontrollers through the backplane programmer unit on a serial port,
through the chips' own boot loaders, or over a CAN adapter.
.
The package holds the window (vkprogrammer), the command-line program for
scripts and production lines (vkprog, with bash completion) and a simulator
of the programmer unit and boot loaders (vkdevsim).
.
Serial ports belong to the group dialout: add each user who programs
modules to it (adduser USER dialout). The H8 boot kernels are not part of
this package; see /usr/share/doc/vkprogrammer/README.Debian.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the programs' own libraries (dpkg-shlibdeps); bash-completion only
# suggested: the completion file is read when it is installed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # vkprogrammer_VERSION_ARCH.deb
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)
include(CPack)
