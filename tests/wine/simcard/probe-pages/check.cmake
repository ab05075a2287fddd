# The driver-info page that `korvex-sim probe` prints, for each card model and
# for --no-card and --card-in-use, against the golden pages here. The same
# pages for the Linux tool (the stand-in and the simulated machine) and for
# korvex-sim.exe under Wine (the real DLL with the simulated card inside).
#
#   cmake -DTOOL=<korvex-sim> [-DWINE_ENV=<wine-env.sh> -DPREFIX=<prefix>]
#         -DOUT=<dir> [-DUPDATE=1] -P check.cmake
#
# The page runs from the "Driver" line to the first empty line after it; the
# rest of the output (machine, request log, handle counts) differs by build.
# UPDATE=1 writes the pages instead of comparing (from the Linux tool).
set(cases "pico:--model=pico" "six:--model=six" "duo:--model=duo" "eight:--model=eight"
          "no-card:--no-card" "card-in-use:--card-in-use")
get_filename_component(golden_dir ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
file(MAKE_DIRECTORY ${OUT})
set(failed "")
foreach(entry ${cases})
  string(REPLACE ":" ";" fields "${entry}")
  list(GET fields 0 name)
  list(SUBLIST fields 1 -1 args)
  set(output ${OUT}/probe-${name}.out)
  if(WINE_ENV)
    set(command ${WINE_ENV} run ${PREFIX} ${TOOL} probe ${args})
  else()
    set(command ${TOOL} probe ${args})
  endif()
  # Files, not pipes: Wine's helpers inherit whatever the first program has.
  execute_process(COMMAND ${command} INPUT_FILE /dev/null OUTPUT_FILE ${output} ERROR_FILE ${output}.err
                  RESULT_VARIABLE rc)
  file(READ ${output}.err skipped)
  if(skipped MATCHES "wine-env.sh: skipped: [^\n]*")
    # The program could not be run here at all (wine-env.sh): the test is skipped.
    message(STATUS "${CMAKE_MATCH_0}")
    return()
  endif()
  file(READ ${output} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(FIND "${text}" "\nDriver          " start)
  if(start EQUAL -1)
    message(SEND_ERROR "probe ${args}: no driver-info page (exit ${rc}); output in ${output}")
    list(APPEND failed ${name})
    continue()
  endif()
  math(EXPR start "${start} + 1")
  string(SUBSTRING "${text}" ${start} -1 page)
  string(FIND "${page}" "\n\n" end)
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${page}" 0 ${end} page)
  file(WRITE ${OUT}/probe-${name}.page "${page}")
  if(UPDATE)
    file(WRITE ${golden_dir}/probe-${name}.txt "${page}")
    continue()
  endif()
  file(READ ${golden_dir}/probe-${name}.txt golden)
  if(NOT page STREQUAL golden)
    message(SEND_ERROR "probe ${args}: the page differs from probe-${name}.txt:\n${page}")
    list(APPEND failed ${name})
  elseif(NOT rc EQUAL 0)
    message(SEND_ERROR "probe ${args}: exit status ${rc}")
    list(APPEND failed ${name})
  else()
    message(STATUS "probe ${args}: the golden page")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "pages that differ: ${failed}")
endif()
