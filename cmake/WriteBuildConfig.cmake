# Writes the program's configuration header VELTRA_CONFIG_HEADER from the
# VELTRA_* values. BuildConfig.cmake includes it for the program; the tests
# run it as a script (cmake -D... -P) for a second build of the program
# that talks to another host, where VELTRA_SAS_COMMAND, when given, is a
# command ("|"-separated: a ";" would not survive the way there) whose
# output is the access signature.
if(VELTRA_SAS_COMMAND)
  string(REPLACE "|" ";" sas_command "${VELTRA_SAS_COMMAND}")
  execute_process(COMMAND ${sas_command} OUTPUT_VARIABLE VELTRA_SAS
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE sas_result)
  if(NOT sas_result EQUAL 0)
    message(FATAL_ERROR "the access signature could not be made")
  endif()
endif()
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
