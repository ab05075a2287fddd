# The service's resources and its message texts, both from the one
# message-compiler source service/messages.mc.
#
#   include(${PROJECT_SOURCE_DIR}/cmake/service-resources.cmake)
#
#   korvex_service_resources(<target>)
#       Windows: compiles messages.mc with windmc at build time and adds a
#       generated resource script to <target>: the message table (resource
#       1, type 11) in 0x0409, 0x0004 and 0x7C04, and service/KorvexS.manifest
#       as RT_MANIFEST 1. Does nothing elsewhere.
#
#   korvex_message_source([<target>...])
#       Creates (once) the static library korvex_messages, which holds the
#       bytes of messages.mc as
#           extern const char kServiceMessageSource[];         (not terminated)
#           extern const std::size_t kServiceMessageSourceSize;
#       declared in "service_message_source.h", regenerated whenever the .mc
#       changes; and links it into each <target>. The simulated machine's
#       renderer (sim::MessageTable) reads these bytes.
#
# Run as a script (cmake -DINPUT=... -DOUTPUT=... -P this file) it writes the
# source file of korvex_messages.

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: INPUT (the .mc) -> OUTPUT (.cpp). Octal escapes take at most
  # three digits, so no byte can run into the next.
  file(READ "${INPUT}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  set(body "")
  set(line "")
  set(count 0)
  string(REGEX MATCHALL ".." bytes "${hex}")
  foreach(byte IN LISTS bytes)
    math(EXPR value "0x${byte}")
    math(EXPR d2 "${value} / 64")
    math(EXPR d1 "(${value} / 8) % 8")
    math(EXPR d0 "${value} % 8")
    string(APPEND line "\\${d2}${d1}${d0}")
    math(EXPR count "${count} + 1")
    if(count EQUAL 32)
      string(APPEND body "    \"${line}\"\n")
      set(line "")
      set(count 0)
    endif()
  endforeach()
  if(NOT line STREQUAL "")
    string(APPEND body "    \"${line}\"\n")
  endif()
  if(body STREQUAL "")
    set(body "    \"\"\n")
  endif()
  file(WRITE "${OUTPUT}.tmp"
    "// Generated from ${INPUT}; do not edit.\n"
    "#include \"service_message_source.h\"\n\n"
    "extern const char kServiceMessageSource[] =\n${body};\n"
    "extern const std::size_t kServiceMessageSourceSize = ${size};\n")
  file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT}.tmp")
  return()
endif()

include_guard(GLOBAL)

set(KORVEX_MESSAGE_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../service/messages.mc")
cmake_path(NORMAL_PATH KORVEX_MESSAGE_SOURCE)
set(KORVEX_SERVICE_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/../service/KorvexS.manifest")
cmake_path(NORMAL_PATH KORVEX_SERVICE_MANIFEST)
set(KORVEX_SERVICE_RESOURCES_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

function(korvex_service_resources target)
  if(NOT WIN32)
    return()
  endif()
  if(DEFINED KORVEX_MINGW_TRIPLE)
    find_program(KORVEX_WINDMC NAMES ${KORVEX_MINGW_TRIPLE}-windmc windmc REQUIRED)
  else()
    find_program(KORVEX_WINDMC NAMES windmc REQUIRED)
  endif()

  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources")
  # windmc names each binary <basename>_<file name of LanguageNames>.bin.
  set(bin_en "${dir}/messages_MSG00409.bin")
  set(bin_hans "${dir}/messages_MSG00804.bin")
  set(bin_hant "${dir}/messages_MSG00404.bin")
  add_custom_command(
    OUTPUT "${bin_en}" "${bin_hans}" "${bin_hant}" "${dir}/messages.h"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    # -C 65001: the source is UTF-8; the texts come out as UTF-16.
    COMMAND "${KORVEX_WINDMC}" -C 65001 -b -h "${dir}" -r "${dir}" "${KORVEX_MESSAGE_SOURCE}"
    DEPENDS "${KORVEX_MESSAGE_SOURCE}"
    COMMENT "Compiling the message table of ${target}"
    VERBATIM)

  # The Chinese texts are compiled as 0x804 and 0x404 (windmc cannot name
  # the neutral languages) and placed here under 0x0004 and 0x7C04.
  set(rc "${dir}/${target}_resources.rc")
  file(CONFIGURE OUTPUT "${rc}" @ONLY CONTENT [[
// Generated; do not edit.
LANGUAGE 0x09, 0x01
1 11 "@bin_en@"

LANGUAGE 0x04, 0x00
1 11 "@bin_hans@"

LANGUAGE 0x04, 0x1F
1 11 "@bin_hant@"

LANGUAGE 0x00, 0x00
1 24 "@KORVEX_SERVICE_MANIFEST@"
]])
  set_source_files_properties("${rc}" PROPERTIES
    OBJECT_DEPENDS "${bin_en};${bin_hans};${bin_hant};${KORVEX_SERVICE_MANIFEST}")
  target_sources(${target} PRIVATE "${rc}")
endfunction()

function(korvex_message_source)
  if(NOT TARGET korvex_messages)
    set(dir "${CMAKE_BINARY_DIR}/korvex_messages")
    set(cpp "${dir}/service_message_source.cpp")
    file(CONFIGURE OUTPUT "${dir}/include/service_message_source.h" CONTENT [[
// The bytes of the service's message-compiler source (UTF-8, CR LF line
// ends, not terminated). Generated; do not edit.
#pragma once

#include <cstddef>
#include <string_view>

extern const char kServiceMessageSource[];
extern const std::size_t kServiceMessageSourceSize;

inline std::string_view ServiceMessageSource() {
    return {kServiceMessageSource, kServiceMessageSourceSize};
}
]])
    add_custom_command(
      OUTPUT "${cpp}"
      COMMAND "${CMAKE_COMMAND}" -DINPUT=${KORVEX_MESSAGE_SOURCE} -DOUTPUT=${cpp}
              -P "${KORVEX_SERVICE_RESOURCES_SCRIPT}"
      DEPENDS "${KORVEX_MESSAGE_SOURCE}" "${KORVEX_SERVICE_RESOURCES_SCRIPT}"
      COMMENT "Embedding the service's message source"
      VERBATIM)
    add_library(korvex_messages STATIC "${cpp}")
    target_include_directories(korvex_messages PUBLIC "${dir}/include")
  endif()
  foreach(target IN LISTS ARGN)
    target_link_libraries(${target} PRIVATE korvex_messages)
  endforeach()
endfunction()
