# Run by "cmake --install": installs the desktop entry with Exec naming the
# installed program by its full path. The path stands in double quotes, where
# \ " ` and $ take a backslash of their own; the key is a string, in which a
# backslash is written twice and a tab \t; % is written twice.
get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(program "${prefix}/${TAMARIND_DESKTOP_PROGRAM}")
if(program MATCHES "[\n\r]")
  message(FATAL_ERROR "A desktop entry cannot start a program whose path holds a line break: ${program}")
endif()
string(REGEX REPLACE "([\\\\\"`$])" "\\\\\\1" quoted "${program}")
set(quoted "\"${quoted}\"")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
string(REPLACE "\t" "\\t" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
# Desktops built on GLib look the program up by Exec's first argument before
# %% is turned back into %: env, found on PATH, starts a program whose path
# holds a percent sign (install.sh does the same).
if(program MATCHES "%")
  if(program MATCHES "=")
    message(FATAL_ERROR "A desktop entry cannot start a program whose path holds both % and =: ${program}")
  endif()
  set(quoted "env ${quoted}")
endif()
file(READ "${TAMARIND_DESKTOP_TEMPLATE}" template)
string(REPLACE "\nExec=Tamarind %f\n" "\nExec=${quoted} %f\n" entry "${template}")
if(entry STREQUAL template)
  message(FATAL_ERROR "${TAMARIND_DESKTOP_TEMPLATE} has no line \"Exec=Tamarind %f\"")
endif()
# Written in place (no staged copy that two installs at once could share).
get_filename_component(name "${TAMARIND_DESKTOP_TEMPLATE}" NAME)
set(target "${prefix}/${TAMARIND_DESKTOP_DESTINATION}/${name}")
message(STATUS "Installing: $ENV{DESTDIR}${target}")
file(WRITE "$ENV{DESTDIR}${target}" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${target}")
