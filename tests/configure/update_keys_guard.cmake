# cmake/ZrUpdateKeysGuard.cmake: which server and key settings stop the configure run.
# Each row runs the rule in a cmake -P of its own, since a refusal ends the script.
#   cmake -DZR_SOURCE_DIR=SOURCE -P update_keys_guard.cmake
include(${ZR_SOURCE_DIR}/cmake/ZrUpdateKeysGuard.cmake)
if(DEFINED ZR_ROW)
  zr_check_update_keys("${CN}" "${US}" "${KEYS}" "${ALLOW}")
  return()
endif()

set(failures 0)
# row(NAME CN US KEYS ALLOW OUTCOME [PATTERN ...]): OUTCOME is the exit status and the
# kind of message (ok: none at all); the output must match each PATTERN.
function(row name cn us keys allow outcome)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DZR_ROW=1 -DZR_SOURCE_DIR=${ZR_SOURCE_DIR} -DCN=${cn} -DUS=${us} -DKEYS=${keys}
            -DALLOW=${allow} -P ${CMAKE_CURRENT_LIST_FILE}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REGEX REPLACE "[ \t\r\n]+" " " flat "${out}")
  set(seen ok)
  if(NOT status EQUAL 0 AND flat MATCHES "CMake Error")
    set(seen error)
  elseif(status EQUAL 0 AND flat MATCHES "^CMake Warning")
    set(seen warning)
  elseif(NOT status EQUAL 0 OR NOT flat STREQUAL "")
    set(seen "something else")
  endif()
  set(bad "")
  foreach(pattern ${ARGN})
    if(NOT flat MATCHES "${pattern}")
      string(APPEND bad " no \"${pattern}\"")
    endif()
  endforeach()
  if(seen STREQUAL outcome AND bad STREQUAL "")
    message(STATUS "ok   ${name}")
  else()
    message(STATUS "FAIL ${name}: ${seen}${bad}\n${out}")
    math(EXPR failures "${failures} + 1")
    set(failures ${failures} PARENT_SCOPE)
  endif()
endfunction()

set(cn ${ZR_DEFAULT_UPDATE_SERVER_CN})
set(us ${ZR_DEFAULT_UPDATE_SERVER_US})
set(own "https://updates.example.com/addons/get_addons.php")
set(key "pX3PPJSwywWTt/BBTWKph8OVMaedqJlxJjqYOsolbOQ=")
row("the default servers, no key" ${cn} ${us} "" OFF ok)
row("both servers of its own, no key" ${own} ${own} "" OFF error
    "servers of its own .MORAVEL_UPDATE_SERVER_CN and MORAVEL_UPDATE_SERVER_US."
    "-DMORAVEL_UPDATE_PUBLIC_KEYS=" "moravel-key keygen" "README" "-DMORAVEL_ALLOW_UNSIGNED_UPDATES=ON")
row("only the US server of its own, no key" ${cn} ${own} "" OFF error "of its own .MORAVEL_UPDATE_SERVER_US.")
row("a key list of blanks is none" ${own} ${us} "  " OFF error "of its own .MORAVEL_UPDATE_SERVER_CN.")
row("servers of its own with a key" ${own} ${own} "${key}" OFF ok)
row("servers of its own, no key, allowed" ${own} ${own} "" ON warning "installs unsigned updates")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} row(s) failed")
endif()
