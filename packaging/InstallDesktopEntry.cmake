# Run by "cmake --install": installs the desktop entry with Exec naming the
# installed program by its full path. The key is a string in which a
# backslash is written twice; the path stands in double quotes, where \ " `
# and $ take a backslash of their own first; % is written twice.
get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(program "${prefix}/${TAMARIND_DESKTOP_PROGRAM}")
string(REPLACE "\\" "\\\\\\\\" quoted "${program}")
string(REGEX REPLACE "([\"`$])" "\\\\\\\\\\1" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
file(READ "${TAMARIND_DESKTOP_TEMPLATE}" template)
string(REPLACE "\nExec=Tamarind %f\n" "\nExec=\"${quoted}\" %f\n" entry "${template}")
if(entry STREQUAL template)
  message(FATAL_ERROR "${TAMARIND_DESKTOP_TEMPLATE} has no line \"Exec=Tamarind %f\"")
endif()
# Written in place (no staged copy that two installs at once could share).
get_filename_component(name "${TAMARIND_DESKTOP_TEMPLATE}" NAME)
set(target "${prefix}/${TAMARIND_DESKTOP_DESTINATION}/${name}")
message(STATUS "Installing: $ENV{DESTDIR}${target}")
file(WRITE "$ENV{DESTDIR}${target}" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${target}")
