# tamarind_juce: the JUCE modules compiled once, with every JUCE flag in one place.
# Every other target links this library and never the modules themselves.
add_library(tamarind_juce STATIC)
target_link_libraries(tamarind_juce
  PRIVATE
    juce::juce_core
    juce::juce_events
    juce::juce_audio_basics
    juce::juce_audio_devices
    juce::juce_cryptography
  PUBLIC
    juce::juce_recommended_config_flags)
# The graphics and component modules only where something draws (the headless
# sanitizer and fuzzing builds leave them out and build faster).
if(TAMARIND_BUILD_GUI)
  target_link_libraries(tamarind_juce PRIVATE juce::juce_data_structures juce::juce_graphics juce::juce_gui_basics)
endif()
# Debian's JUCE uses the system's image and compression libraries.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_link_libraries(tamarind_juce PUBLIC juce::pkgconfig_JUCE_IMG_LINUX_DEPS)
  find_package(ZLIB REQUIRED)
  target_link_libraries(tamarind_juce PUBLIC ZLIB::ZLIB)
elseif(WIN32)
  # Static builds, so the programs need no DLL beside them: libpng and libjpeg
  # cross-built by setup-windows.sh, zlib from Debian's MinGW package.
  # Not cached: the libraries' folder changes when their recipe does.
  find_path(TAMARIND_IMAGE_INCLUDE_DIR NAMES png.h jpeglib.h jpegint.h REQUIRED NO_CACHE)
  find_library(TAMARIND_PNG_LIBRARY NAMES libpng16.a REQUIRED NO_CACHE)
  find_library(TAMARIND_JPEG_LIBRARY NAMES libjpeg.a REQUIRED NO_CACHE)
  find_library(TAMARIND_ZLIB_LIBRARY NAMES libz.a REQUIRED NO_CACHE)
  target_include_directories(tamarind_juce PRIVATE ${TAMARIND_IMAGE_INCLUDE_DIR})
  target_link_libraries(tamarind_juce PUBLIC ${TAMARIND_PNG_LIBRARY} ${TAMARIND_JPEG_LIBRARY} ${TAMARIND_ZLIB_LIBRARY})
endif()
target_compile_definitions(tamarind_juce PUBLIC
  JUCE_WEB_BROWSER=0
  JUCE_USE_CURL=0
  JUCE_MODAL_LOOPS_PERMITTED=1
  JUCE_STRICT_REFCOUNTEDPOINTER=1
  JUCE_STANDALONE_APPLICATION=1
  JUCE_DISPLAY_SPLASH_SCREEN=0
  JUCE_REPORT_APP_USAGE=0
  JUCE_USE_XRANDR=1
  JUCE_JACK=0
  JUCE_SILENCE_XCODE_15_LINKER_WARNING=1)
# Consumers see the modules' include paths and definitions, but compile nothing of them.
target_include_directories(tamarind_juce INTERFACE
  $<TARGET_PROPERTY:tamarind_juce,INCLUDE_DIRECTORIES>)
target_compile_definitions(tamarind_juce INTERFACE
  $<TARGET_PROPERTY:tamarind_juce,COMPILE_DEFINITIONS>)
set_target_properties(tamarind_juce PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  VISIBILITY_INLINES_HIDDEN ON
  C_VISIBILITY_PRESET hidden
  CXX_VISIBILITY_PRESET hidden)
