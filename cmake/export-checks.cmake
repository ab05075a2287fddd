# What the built binaries show the system loader, as CTest tests.
#
#   include(${PROJECT_SOURCE_DIR}/cmake/export-checks.cmake)
#   korvex_export_checks(<target> [<export>...])
#
# Adds the test <target>_exports (label "exports"): the file of <target>
# exports exactly the <export>s (none when none is given).
#   Windows: from `objdump -p`: the image is of the build's architecture
#            (PE32+ x86-64, or PE32 i386 for the x86 build), and every DLL it
#            imports is a system DLL (no MinGW runtime DLL, nothing of ours).
#   Linux:   from `nm -D --defined-only` (the shared object's dynamic symbols).
# Example: korvex_export_checks(KorvexASIO DllGetClassObject DllCanUnloadNow)
include_guard(GLOBAL)

set(KORVEX_CHECK_EXPORTS "${CMAKE_CURRENT_LIST_DIR}/../tests/check-exports.sh")

function(korvex_export_checks target)
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kind pe32)
    set(tool_var "OBJDUMP=${CMAKE_OBJDUMP}")
  elseif(WIN32)
    set(kind pe)
    set(tool_var "OBJDUMP=${CMAKE_OBJDUMP}")
  else()
    set(kind elf)
    set(tool_var "NM=${CMAKE_NM}")
  endif()
  add_test(NAME ${target}_exports
           COMMAND "${KORVEX_CHECK_EXPORTS}" ${kind} "$<TARGET_FILE:${target}>" ${ARGN})
  set_tests_properties(${target}_exports PROPERTIES LABELS exports ENVIRONMENT "${tool_var}" TIMEOUT 60)
endfunction()
