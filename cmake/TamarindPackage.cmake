# The Windows release folder, zipped by CPack:
#   Tamarind-<version>-windows.zip
#     Tamarind-<version>-windows/Tamarind.exe   (stripped)
#     Tamarind-<version>-windows/tamarind-cli.exe
#     Tamarind-<version>-windows/Help.pdf
#     Tamarind-<version>-windows/ReadMe.txt     (where update.rom goes)
#     Tamarind-<version>-windows/Tamarind.txt, tamarind-cli.txt
#                                 (the manual pages as text, packaging/)
# Made by "./build.sh --windows --package" (the "package" target);
# tools/make-release.sh installs the same folder and adds update.rom.
configure_file(${CMAKE_SOURCE_DIR}/resources/ReadMe-windows.txt.in ${CMAKE_BINARY_DIR}/ReadMe.txt
  @ONLY NEWLINE_STYLE CRLF)
install(TARGETS Tamarind tamarind-cli RUNTIME DESTINATION . BUNDLE DESTINATION .)
install(FILES ${HELP_PDF} ${CMAKE_BINARY_DIR}/ReadMe.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Tamarind)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Tamarind-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
