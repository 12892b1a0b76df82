# The built-in update servers and the rule that a build asking real servers has a key.
#
# The default servers lie under the reserved .invalid domain: an unconfigured build
# fails its check cleanly instead of asking a stranger, and needs no key. A build with
# servers of its own and no publisher key would install whatever those servers (or
# anyone between) send, unchecked, wherever no update-keys.pub lies beside the updater;
#   zr_check_update_keys(SERVER_CN SERVER_US KEYS ALLOW)
# therefore stops the configure run then, unless ALLOW is true (the updater's option
# MORAVEL_ALLOW_UNSIGNED_UPDATES), which leaves a warning instead.

set(ZR_DEFAULT_UPDATE_SERVER_CN "http://update-cn.moravel.invalid/addons/get_addons.php")
set(ZR_DEFAULT_UPDATE_SERVER_US "http://update-us.moravel.invalid/addons/get_addons.php")

function(zr_check_update_keys server_cn server_us keys allow)
  string(STRIP "${keys}" keys)
  if(NOT keys STREQUAL "")
    return()
  endif()
  set(own "")
  if(NOT server_cn STREQUAL ZR_DEFAULT_UPDATE_SERVER_CN)
    list(APPEND own "MORAVEL_UPDATE_SERVER_CN")
  endif()
  if(NOT server_us STREQUAL ZR_DEFAULT_UPDATE_SERVER_US)
    list(APPEND own "MORAVEL_UPDATE_SERVER_US")
  endif()
  if(own STREQUAL "")
    return()
  endif()
  list(JOIN own " and " own)
  set(what "This build asks update servers of its own (${own}), but MORAVEL_UPDATE_PUBLIC_KEYS is empty")
  if(allow)
    message(WARNING
      "${what} and MORAVEL_ALLOW_UNSIGNED_UPDATES is ON: the updater installs unsigned "
      "updates unless an update-keys.pub with a key lies beside it.")
  else()
    message(FATAL_ERROR
      "${what}: the updater would install whatever those servers send, unchecked. Make "
      "the publisher's signing key with `moravel-key keygen KEYFILE` (tools/keytool) and "
      "give the public key it prints: -DMORAVEL_UPDATE_PUBLIC_KEYS=<base64 public key> "
      "(several comma-separated; README, \"Publishing updates\"). To build without a key "
      "all the same: -DMORAVEL_ALLOW_UNSIGNED_UPDATES=ON.")
  endif()
endfunction()
