# Builds one Windows Installer package from KorvexSetup.wxs (cmake -P):
#
#   cmake -DWIXL=... -DMSIBUILD=... -DWXS=... -DVERSION=3.2.9
#         -DASIO_DLL=... -DSERVICE_EXE=... -DASIO_DLL_X86=...
#         -DCHECK_EXE=.../korvex-sim.exe
#         -DOUTPUT=.../KorvexSetup-3.2.9.msi [-DMARKER=text] -P build-msi.cmake
#
# wixl resolves File/@Source against its working directory only, so the
# binaries are staged beside the output first (the x86 DLL in x86/, the
# Windows build of the host tool, korvex-sim.exe, as KorvexCheck.exe). MARKER,
# for test packages only, is appended to the staged copies so that an
# installed file shows which package put it there (a PE file ignores bytes
# after its last section).
foreach(variable WIXL MSIBUILD WXS VERSION ASIO_DLL SERVICE_EXE ASIO_DLL_X86 CHECK_EXE OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "build-msi.cmake: ${variable} not given")
  endif()
endforeach()

get_filename_component(output_name "${OUTPUT}" NAME_WLE)
get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
set(stage "${output_dir}/${output_name}.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
file(COPY_FILE "${ASIO_DLL}" "${stage}/KorvexASIO.dll")
file(COPY_FILE "${SERVICE_EXE}" "${stage}/KorvexS.exe")
file(MAKE_DIRECTORY "${stage}/x86")
file(COPY_FILE "${ASIO_DLL_X86}" "${stage}/x86/KorvexASIO.dll")
file(COPY_FILE "${CHECK_EXE}" "${stage}/KorvexCheck.exe")
if(DEFINED MARKER AND NOT MARKER STREQUAL "")
  file(APPEND "${stage}/KorvexASIO.dll" "${MARKER}")
  file(APPEND "${stage}/KorvexS.exe" "${MARKER}")
  file(APPEND "${stage}/x86/KorvexASIO.dll" "${MARKER}")
  file(APPEND "${stage}/KorvexCheck.exe" "${MARKER}")
endif()

file(REMOVE "${OUTPUT}")
execute_process(
  COMMAND "${WIXL}" -a x64 -D "Version=${VERSION}" -D AsioDll=KorvexASIO.dll -D AsioDllX86=x86/KorvexASIO.dll
          -D ServiceExe=KorvexS.exe -D CheckExe=KorvexCheck.exe
          -o "${OUTPUT}" "${WXS}"
  WORKING_DIRECTORY "${stage}"
  RESULT_VARIABLE result)
# wixl may exit 0 without having written anything.
if(NOT result EQUAL 0 OR NOT EXISTS "${OUTPUT}")
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "wixl failed (${result}) to write ${OUTPUT}")
endif()

# wixl writes Type="expandable" as REG_SZ; the Registry table's "#%" prefix
# makes the event source's message file a REG_EXPAND_SZ.
execute_process(
  COMMAND "${MSIBUILD}" "${OUTPUT}" -q
          "UPDATE `Registry` SET `Value`='#%[#KorvexS.exe]' WHERE `Name`='EventMessageFile'"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "msibuild could not patch EventMessageFile in ${OUTPUT} (${result})")
endif()
