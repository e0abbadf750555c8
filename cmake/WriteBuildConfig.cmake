# Writes the program's configuration header VELTRA_CONFIG_HEADER from the
# VELTRA_* values. BuildConfig.cmake includes it for the program; the tests
# run it as a script (cmake -D... -P) for a second build of the program
# that talks to other hosts, where VELTRA_SAS_COMMAND and
# VELTRA_MIRRORS_COMMAND, when given, are commands ("|"-separated: a ";"
# would not survive the way there) whose output is the access signature and
# the further hosts (below), made when the program is built.
function(value_from_command command variable what)
  if(NOT command)
    return()
  endif()
  string(REPLACE "|" ";" command "${command}")
  execute_process(COMMAND ${command} OUTPUT_VARIABLE output
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} could not be made")
  endif()
  set(${variable} "${output}" PARENT_SCOPE)
endfunction()
value_from_command("${VELTRA_SAS_COMMAND}" VELTRA_SAS "the access signature")
value_from_command("${VELTRA_MIRRORS_COMMAND}" VELTRA_MIRRORS "the list of further hosts")

# Further hosts of the release (VELTRA_MIRRORS), each "HOST,SUBDIR,SIGNATURE"
# with its own folder and access signature; the signature is the rest after
# the second comma.
string(TOLOWER "${VELTRA_HOST_NAME}" seen_hosts)
set(VELTRA_MIRRORS_ENTRIES "")
foreach(entry IN LISTS VELTRA_MIRRORS)
  if(NOT entry MATCHES "^([^,]*),([^,]*),(.*)$")
    message(FATAL_ERROR "VELTRA_MIRRORS: \"${entry}\" is not HOST,SUBDIR,SIGNATURE")
  endif()
  set(mirror_host "${CMAKE_MATCH_1}")
  set(mirror_subdir "${CMAKE_MATCH_2}")
  set(mirror_signature "${CMAKE_MATCH_3}")
  if(NOT mirror_host MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
    message(FATAL_ERROR "VELTRA_MIRRORS: \"${mirror_host}\" in \"${entry}\" is not a host name")
  endif()
  if(mirror_subdir STREQUAL "" OR mirror_subdir MATCHES "[\"\\?#]")
    message(FATAL_ERROR "VELTRA_MIRRORS: \"${entry}\" needs the release's folder on the host, "
      "without quotes, backslashes, ? or #")
  endif()
  if(mirror_signature MATCHES "[\"\\ ]")
    message(FATAL_ERROR "VELTRA_MIRRORS: the signature of ${mirror_host} holds a quote, a "
      "backslash or a blank")
  endif()
  if(mirror_signature STREQUAL "?sv=placeholder&sig=placeholder" AND
     NOT mirror_host MATCHES "\\.veltra\\.test$")
    message(FATAL_ERROR "VELTRA_MIRRORS: the signature of ${mirror_host} is still the placeholder")
  endif()
  string(TOLOWER "${mirror_host}" folded)
  list(FIND seen_hosts "${folded}" seen_at)
  if(NOT seen_at EQUAL -1)
    message(FATAL_ERROR "VELTRA_MIRRORS: ${mirror_host} is named more than once among the hosts")
  endif()
  list(APPEND seen_hosts "${folded}")
  string(APPEND VELTRA_MIRRORS_ENTRIES
    "    {L\"${mirror_host}\", L\"${mirror_subdir}\", L\"${mirror_signature}\"},\n")
endforeach()

# The setup's signers: SHA-256 thumbprints (64 hexadecimal digits; colons
# and case as any tool prints them), separated by ";", "," or blanks.
string(REGEX REPLACE "[;, \t\n]+" ";" signers "${VELTRA_SETUP_SIGNERS}")
set(VELTRA_SETUP_SIGNERS_NORMAL "")
foreach(signer IN LISTS signers)
  string(REPLACE ":" "" digits "${signer}")
  string(TOUPPER "${digits}" digits)
  if(digits STREQUAL "")
    continue()
  endif()
  if(NOT digits MATCHES "^[0-9A-F]+$")
    message(FATAL_ERROR "VELTRA_SETUP_SIGNERS: \"${signer}\" is not a SHA-256 thumbprint")
  endif()
  string(LENGTH "${digits}" length)
  if(NOT length EQUAL 64)
    message(FATAL_ERROR "VELTRA_SETUP_SIGNERS: \"${signer}\" has ${length} digits, not the 64 "
      "of a SHA-256 thumbprint")
  endif()
  string(APPEND VELTRA_SETUP_SIGNERS_NORMAL " ${digits}")
endforeach()
string(STRIP "${VELTRA_SETUP_SIGNERS_NORMAL}" VELTRA_SETUP_SIGNERS_NORMAL)
if(VELTRA_SETUP_SIGNERS_NORMAL STREQUAL "")
  message(STATUS "VELTRA_SETUP_SIGNERS is empty: the downloaded setup will not be checked for "
    "its signature")
else()
  message(STATUS "The downloaded setup must be signed by a chain holding one of: "
    "${VELTRA_SETUP_SIGNERS_NORMAL}")
endif()
set(VELTRA_SETUP_SIGNERS_LITERAL "L\"${VELTRA_SETUP_SIGNERS_NORMAL}\"")

# Values become wide string literals; quotes and backslashes are escaped so
# that any text a maker enters compiles to itself.
foreach(name HOST_NAME DOWNLOAD_SUBDIR PRODUCT_CODE SAS DEFAULT_HOST LOG_SERVICE_URL
    SUPPORT_URL FAQ_ADDRESS FORUM_ADDRESS RELEASE_NAME FILE_VERSION)
  string(REPLACE "\\" "\\\\" escaped "${VELTRA_${name}}")
  string(REPLACE "\"" "\\\"" escaped "${escaped}")
  set(VELTRA_${name}_LITERAL "L\"${escaped}\"")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/buildconfig.h.in ${VELTRA_CONFIG_HEADER} @ONLY)
