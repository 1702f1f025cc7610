# What `cmake --install` puts where, and the packages that cpack makes of it:
# on Linux a Debian package and a tarball of the same tree, on Windows a zip.
# Included by the top-level CMakeLists.txt.

if(WIN32)
  # On Windows everything lies beside the .exe.
  set(CMAKE_INSTALL_BINDIR . CACHE PATH "User executables (bin)")
  set(CMAKE_INSTALL_DOCDIR . CACHE PATH "Documentation root (DATAROOTDIR/doc/vrtl-sdf)")
endif()
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

if(WIN32)
  # A Windows user reads README.txt in Notepad: the Windows page first, what
  # such a user needs, then the README; CR LF line ends.
  file(READ doc/windows.md windows_page)
  file(READ README.md readme)
  string(REPLACE "\r\n" "\n" readme "${windows_page}\n${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS doc/windows.md README.md)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
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
  # The pages an operator reads, where the README's links find them.
  install(FILES doc/operators.md doc/safety.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)
endif()

# The values below reach cpack as written here, regular expressions included.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_VENDOR ${VRTL_SDF_COPYRIGHT_HOLDER})
set(CPACK_PACKAGE_CONTACT ${VRTL_SDF_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION "\
vrtl_sdf DIR EXT takes the first file in DIR whose name ends in .EXT, appends
every record to the SDF file its header names, in the same directory, reports
each step on the console in Slovenian, and deletes the merged file once every
record is safely in its SDF file.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_PACKAGE_NAME vrtl-sdf)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# The source package: the tree without build trees, version control or the
# listing file that a run leaves.
string(REGEX REPLACE "[][.*+?^$()|\\]" "\\\\\\0" source_pattern "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES
    "^${source_pattern}/build/"
    "^${source_pattern}/\\.git(/|$)"
    "/work1d\\.tmp$"
    "~$")
if(NOT PROJECT_BINARY_DIR STREQUAL PROJECT_SOURCE_DIR)
  string(REGEX REPLACE "[][.*+?^$()|\\]" "\\\\\\0" binary_pattern "${PROJECT_BINARY_DIR}")
  list(APPEND CPACK_SOURCE_IGNORE_FILES "^${binary_pattern}/")
endif()

include(CPack)
