# What `cmake --install` puts under the prefix on Linux, and the Debian package made from it
# (scripts/package-deb.sh runs CPack): the programs, their manual pages, the window's desktop
# entry and icon, vkprog's bash completion and the documentation.
include(GNUInstallDirs)

set(VK_PACKAGE_NAME vkprogrammer)
set(VK_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# vkprog-link must lie beside vkprog: vkprog hands its link commands over to the program of that
# name in its own folder.
foreach(program vkprog vkprog-link vkprogrammer vkdevsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Manual pages, made from each program's --help by help2man after the program is built, so that
# they cannot drift from it (tests/package/manpage_options_test.sh checks every option is there).
# Not for cross builds (the programs cannot run here) nor sanitizer builds (no one installs them).
find_program(VK_HELP2MAN help2man)
if(VK_HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT VK_SANITIZE AND TARGET vkprogrammer)
  set(VK_MANPAGES ON)
else()
  set(VK_MANPAGES OFF)
  message(STATUS "Manual pages not made: only native, non-sanitizer builds with Qt and help2man")
endif()
if(VK_MANPAGES)
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  set(man_outputs)
  # program | short description | version for a program without --version ("" asks it)
  set(vk_pages
    "vkprog|program firmware into V&K modules from the command line|"
    "vkprogrammer|the V&K Programmer window|"
    "vkdevsim|simulated V&K programmer unit and boot loaders|${PROJECT_VERSION}")
  foreach(page IN LISTS vk_pages)
    string(REPLACE "|" ";" fields "${page}")
    list(GET fields 0 program)
    list(GET fields 1 summary)
    list(GET fields 2 fixed_version)
    set(deps ${program} ${VK_PACKAGING_DIR}/man/${program}.h2m
      ${VK_PACKAGING_DIR}/man/make-manpage.sh)
    if(program STREQUAL "vkprog")
      list(APPEND deps vkprog-link) # the link commands' --help comes from it
    endif()
    add_custom_command(OUTPUT ${man_dir}/${program}.1 ${man_dir}/${program}.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
        bash ${VK_PACKAGING_DIR}/man/make-manpage.sh $<TARGET_FILE:${program}>
        ${man_dir}/${program}.1 ${VK_PACKAGING_DIR}/man/${program}.h2m "${summary}"
        "${fixed_version}"
      DEPENDS ${deps}
      COMMENT "Manual page ${program}(1)"
      VERBATIM)
    list(APPEND man_outputs ${man_dir}/${program}.1.gz)
  endforeach()
  # vkprog-link is vkprog's other half: its page is vkprog's.
  add_custom_command(OUTPUT ${man_dir}/vkprog-link.1.gz
    COMMAND ${CMAKE_COMMAND} -E create_symlink vkprog.1.gz ${man_dir}/vkprog-link.1.gz
    DEPENDS ${man_dir}/vkprog.1.gz
    VERBATIM)
  list(APPEND man_outputs ${man_dir}/vkprog-link.1.gz)
  add_custom_target(manpages ALL DEPENDS ${man_outputs})
  install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(TARGET vkprogrammer)
  install(FILES ${VK_PACKAGING_DIR}/vkprogrammer.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # A scalable icon serves every size the desktops ask for.
  install(FILES ${VK_PACKAGING_DIR}/icons/vkprogrammer.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

install(FILES ${VK_PACKAGING_DIR}/bash-completion/vkprog
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The kernels' folder, with a note that says what belongs there (the kernels are not ours).
install(FILES ${VK_PACKAGING_DIR}/kernels-README
  DESTINATION ${CMAKE_INSTALL_DATADIR}/${VK_PACKAGE_NAME}/kernels RENAME README)

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${VK_PACKAGE_NAME})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/hardware.md
  ${CMAKE_SOURCE_DIR}/docs/links.md ${VK_PACKAGING_DIR}/debian/README.Debian
  ${VK_PACKAGING_DIR}/debian/copyright
  DESTINATION ${doc_dir})
# Debian keeps the change log compressed, byte for byte the same on every build.
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n -c '${VK_PACKAGING_DIR}/debian/changelog' > '${changelog_gz}'"
  DEPENDS ${VK_PACKAGING_DIR}/debian/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION ${doc_dir})

include(${CMAKE_SOURCE_DIR}/cmake/DebianPackage.cmake)
