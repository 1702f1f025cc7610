# What `cmake --install` puts where: the places that GNUInstallDirs names.
# Included by the top-level CMakeLists.txt.

include(GNUInstallDirs)
if("$CACHE{CMAKE_INSTALL_DOCDIR}" STREQUAL "")
  # Unless chosen otherwise, the documentation goes where Debian wants it: to
  # a directory named after the package (vrtl-sdf), not the project.
  set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vrtl-sdf)
  GNUInstallDirs_get_absolute_install_dir(CMAKE_INSTALL_FULL_DOCDIR CMAKE_INSTALL_DOCDIR DOCDIR)
endif()
# Whatever the umask of the one who installs or packages.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS vrtl_sdf RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(VRTL_SDF_MAINTAINER "vrtl_sdf maintainers <maintainers@users.noreply.c-seed-f91e189d.example>"
    CACHE STRING "Maintainer named by the Debian package and its changelog")

if(NOT WIN32)
  configure_file(doc/vrtl_sdf.1.in vrtl_sdf.1 @ONLY)
  configure_file(packaging/copyright.in copyright @ONLY)
  configure_file(packaging/changelog.in changelog @ONLY)
  # Compressed as Debian wants it: -n keeps name and time out, so that two
  # builds of one commit give the same bytes.
  foreach(document IN ITEMS vrtl_sdf.1 changelog)
    add_custom_command(OUTPUT ${document}.gz
                       COMMAND gzip -9 -n -k -f ${document}
                       DEPENDS ${PROJECT_BINARY_DIR}/${document}
                       WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  endforeach()
  add_custom_target(compressed_documents ALL DEPENDS vrtl_sdf.1.gz changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/vrtl_sdf.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
