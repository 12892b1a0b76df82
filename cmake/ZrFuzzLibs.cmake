# The library a fuzz target (fuzz/NAME.cpp) links, in the fuzz build (fuzz/) and where
# the test suite replays its saved inputs (tests/fuzz/):
#   zr_fuzz_target_libs(NAME OUT_VAR)
# Targets named xml_* need only the runtime library, signed_reply_fuzzer only the trust
# library (src/trust/), delta_* only the delta library (src/delta/), package_* only the
# package library (src/package/), retry_after_fuzzer only the policy library (src/policy/);
# the others link the application core.
function(zr_fuzz_target_libs name out)
  if(name MATCHES "^xml_")
    set(${out} zr_runtime PARENT_SCOPE)
  elseif(name STREQUAL "signed_reply_fuzzer")
    set(${out} updater_trust PARENT_SCOPE)
  elseif(name MATCHES "^delta_")
    set(${out} updater_delta PARENT_SCOPE)
  elseif(name MATCHES "^package_")
    set(${out} updater_package PARENT_SCOPE)
  elseif(name STREQUAL "retry_after_fuzzer")
    set(${out} updater_policy PARENT_SCOPE)
  else()
    set(${out} updater_core PARENT_SCOPE)
  endif()
endfunction()
