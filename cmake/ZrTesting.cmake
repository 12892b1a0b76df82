# Test registration shared by every test folder.
#
#   zr_add_test(NAME name SOURCES a.cpp ... [LIBS lib ...] [GTEST] [LOCKS lock ...]
#               [TIMEOUT seconds] [ARGS arg ...])
#
# Builds one test executable and registers it with CTest. Every test runs through
# tests/support/isolate.sh, which gives it its own HOME, XDG_CONFIG_HOME, XDG_DATA_HOME,
# XDG_CACHE_HOME, XDG_RUNTIME_DIR and TMPDIR (removed afterwards) and the offscreen
# Qt platform, so no test ever sees the real user's settings or temporary files.
# Tests that bind the listener port pass LOCKS port8999 so they never run together.
find_package(Qt5 REQUIRED COMPONENTS Test)
find_package(GTest REQUIRED)

set(ZR_ISOLATE ${CMAKE_SOURCE_DIR}/tests/support/isolate.sh)

function(zr_add_test)
  cmake_parse_arguments(T "GTEST" "NAME;TIMEOUT" "SOURCES;LIBS;LOCKS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_GTEST)
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  else()
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} Qt5::Test)
  endif()
  target_compile_definitions(${T_NAME} PRIVATE
    ZR_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ZR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${T_NAME} COMMAND ${ZR_ISOLATE} $<TARGET_FILE:${T_NAME}> ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LOCKS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# zr_tls_teardown_suppressions(test ...)
#
# In the sanitizer build, the given tests (they make https transfers) use the leak
# suppressions of tests/lsan-https.supp instead of tests/lsan.supp: libcrypto's
# per-thread state of the toolkit's network thread can still be on its way out when
# the leak check at exit runs (the file says more).
function(zr_tls_teardown_suppressions)
  if(ZR_SANITIZE)
    foreach(t ${ARGN})
      set_tests_properties(${t} PROPERTIES ENVIRONMENT
        "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan-https.supp:print_suppressions=0")
    endforeach()
  endif()
endfunction()
