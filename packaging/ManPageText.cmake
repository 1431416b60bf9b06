# Renders a manual page as plain text for a folder without a manual reader
# (the Windows zip): cmake -DGROFF=... -DPAGE=X.1 -DOUT=X.txt -P ManPageText.cmake
# The text is laid out as a terminal shows it, without hyphenation, bold,
# underline or escape sequences, and with CRLF line ends like ReadMe.txt.
foreach(var GROFF PAGE OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPageText.cmake needs -D${var}=...")
  endif()
endforeach()
execute_process(COMMAND ${GROFF} -man -Tutf8 -P-cbou -rHY=0 ${PAGE}
  OUTPUT_VARIABLE text ERROR_VARIABLE problems RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT problems STREQUAL "")
  message(FATAL_ERROR "groff could not render ${PAGE} (status ${status}):\n${problems}")
endif()
# Whatever overstrike grotty might still write (character, backspace, character).
string(ASCII 8 backspace)
string(REGEX REPLACE "[^\n]${backspace}" "" text "${text}")
# Trailing blanks, and more than one empty line in a row.
string(REGEX REPLACE " +\n" "\n" text "${text}")
string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
string(REGEX REPLACE "^\n+" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT}.new "${text}")
file(RENAME ${OUT}.new ${OUT})
