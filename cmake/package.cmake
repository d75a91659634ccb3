# The packages people install (scripts/package):
# - natively, a Debian package of the command-line cleaner and the Python
#   module: what a plain `cmake --install` puts on a system
#   (cli/CMakeLists.txt, python/CMakeLists.txt), below /usr, with the
#   copyright and changelog Debian asks for, dependencies worked out by
#   dpkg-shlibdeps from what the program and the module link, the Python the
#   module is built for, and the maintainer scripts that byte-compile the
#   module and remove what that made (py3compile, py3clean);
# - from the 32-bit Windows build, a ZIP of the Windows program and its
#   README, every name 8.3, as Windows 9x and DOS copy them.
set(CPACK_PACKAGE_NAME krizclean)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "krizclean developers")
set(CPACK_PACKAGE_CONTACT "krizclean developers <krizclean@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cleaner for the Win32.Kriz.4050 file infector")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The README with the line ends Windows' own editors read.
    file(READ ${PROJECT_SOURCE_DIR}/packaging/README.TXT readme)
    string(REPLACE "\n" "\r\n" readme "${readme}")
    file(WRITE ${PROJECT_BINARY_DIR}/package/README.TXT "${readme}")
    # The program without its debugging information (MinGW's strip): a
    # tenth of the size, the same code. strip stamps the PE header with the
    # time unless told a date: the release's (packaging/changelog.in), so
    # that the same sources give the same ZIP.
    set(program ${PROJECT_BINARY_DIR}/package/KRIZCLN.EXE)
    set(release_epoch 1796947200)
    add_custom_command(OUTPUT ${program}
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${release_epoch}
              ${CMAKE_STRIP} -o ${program} $<TARGET_FILE:krizclean_gui>
      DEPENDS krizclean_gui
      COMMENT "Stripping the Windows program for its ZIP")
    add_custom_target(krizclean_windows_program ALL DEPENDS ${program})
    install(FILES ${program} ${PROJECT_BINARY_DIR}/package/README.TXT DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_PACKAGE_FILE_NAME krizclean_${PROJECT_VERSION}_win32)
    include(CPack)
  endif()
  return()
endif()

include(GNUInstallDirs)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/package/changelog
               @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/package/changelog.gz
  COMMAND ${GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/package/changelog
          > ${PROJECT_BINARY_DIR}/package/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/package/changelog)
add_custom_target(krizclean_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/package/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_BINARY_DIR}/package/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(KRIZ_PYTHON_VERSION)
  # The compiled half loads into this Python only (its name says which:
  # _krizclean.cpython-311-...so); the cluster driver wants Dask's
  # distributed, which a scan alone does not.
  string(REGEX MATCH "^[0-9]+\\.([0-9]+)$" minor "${KRIZ_PYTHON_VERSION}")
  math(EXPR next_minor "${CMAKE_MATCH_1} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${KRIZ_PYTHON_VERSION}), python3 (<< 3.${next_minor})")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-distributed)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
                                         ${PROJECT_SOURCE_DIR}/packaging/prerm)
endif()
# The long description; CPack puts the summary before it and indents it.
set(CPACK_PACKAGE_DESCRIPTION
    "krizclean finds the file infector Win32.Kriz.4050 in old Windows programs
and repairs them in place: entry point, the KERNEL32 export slots the virus
redirects, last section, body cut off, PE checksum. It walks folders, disk
images (FAT, NTFS, ISO 9660, VHD, VMDK) and archives, cleans each file as
one journaled transaction, and may keep a backup of every original first.")
include(CPack)
