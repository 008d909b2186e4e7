# The Debian package: manual pages, the package's documents and CPack's DEB
# generator. `cmake --build <dir> --target package` writes
# velvora-recovery_<version>_<arch>.deb into <dir>.

find_program(SCDOC_EXECUTABLE scdoc REQUIRED)
find_program(GZIP_EXECUTABLE gzip REQUIRED)

set(VELVORA_PACKAGE_NAME velvora-recovery)
set(VELVORA_MAINTAINER "Velvora Recovery developers <developers@velvora.invalid>")
set(VELVORA_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${VELVORA_PACKAGE_NAME})

# Manual pages and the changelog are compressed without a name or time stamp
# (gzip -n): the same sources give the same bytes on every build.
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(man_pages)
foreach(page velvora-scan velvora-recovery)
  set(source ${PROJECT_SOURCE_DIR}/resources/man/${page}.1.scd)
  set(output ${man_dir}/${page}.1.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND sh -c "\"$0\" < \"$1\" | \"$2\" -9n > \"$3\"" ${SCDOC_EXECUTABLE} ${source} ${GZIP_EXECUTABLE} ${output}
    DEPENDS ${source}
    COMMENT "Writing the manual page ${page}(1)"
    VERBATIM)
  list(APPEND man_pages ${output})
endforeach()

set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND sh -c "\"$0\" -9n < \"$1\" > \"$2\"" ${GZIP_EXECUTABLE} ${PROJECT_SOURCE_DIR}/resources/debian/changelog ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/debian/changelog
  VERBATIM)
add_custom_target(velvora-package-files ALL DEPENDS ${man_pages} ${changelog})

install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/resources/debian/copyright ${changelog} DESTINATION ${VELVORA_PACKAGE_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELVORA_PACKAGE_NAME})
set(CPACK_PACKAGE_CONTACT ${VELVORA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find deleted photos on memory cards and USB sticks")
# The control file's long description, wrapped as dpkg shows it.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Velvora Recovery finds deleted JPEG photos on removable media (SD cards,"
  "USB sticks, cameras attached as drives) and writes the ones you pick into"
  "a folder. It reads the card raw, from its first byte to its end, so photos"
  "whose directory entries are gone can still be found; photos still on the"
  "card as files are not offered again, and the card is never written."
  ""
  "This package holds the desktop wizard velvora-recovery and the headless"
  "scanner velvora-scan, for scripts and for images of failing cards.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VELVORA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Qt, zlib, ISA-L (the CRC-32), libblkid, The Sleuth Kit (linked by the file system reader,
# velvora-fs-reader), FFmpeg's libraries and libheif (linked by the video and
# HEIC checker, velvora-media-probe) and the C++ runtime are found in the
# binaries; The
# Sleuth Kit is named here as well. UDisks2 is how an ordinary
# desktop user reads a card (one password prompt); without it the programs
# still work for root, the disk group and image files, hence a recommendation.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libtsk19")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gddrescue")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
