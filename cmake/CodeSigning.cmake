# The program's own Authenticode signature, so that Windows names its maker
# instead of warning of an unknown publisher. A maker gives the code-signing
# certificate (PEM, with the certificates between it and the root) and its
# key; osslsigncode signs the linked file after each link. A timestamp
# service keeps the signature valid after the certificate expires.
set(VELTRA_SIGN_CERT "" CACHE FILEPATH
  "Code-signing certificate (PEM, with its chain) the program is signed with; empty: unsigned")
set(VELTRA_SIGN_KEY "" CACHE FILEPATH "Private key of VELTRA_SIGN_CERT (PEM)")
set(VELTRA_SIGN_KEY_PASSWORD_FILE "" CACHE FILEPATH
  "File holding the key's password, if the key has one (never a -D value: it would be logged)")
set(VELTRA_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 timestamp service the signature is timestamped by; empty: no timestamp")

if(VELTRA_SIGN_CERT AND NOT VELTRA_SIGN_KEY)
  message(FATAL_ERROR "VELTRA_SIGN_CERT is set without VELTRA_SIGN_KEY")
endif()

# Signs `target` after each link with `cert` and `key`.
function(veltra_sign_program target cert key)
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(options -certs ${cert} -key ${key} -h sha256 -n ${VELTRA_RELEASE_NAME})
  if(VELTRA_SIGN_KEY_PASSWORD_FILE)
    list(APPEND options -readpass ${VELTRA_SIGN_KEY_PASSWORD_FILE})
  endif()
  if(VELTRA_SIGN_TIMESTAMP_URL)
    list(APPEND options -ts ${VELTRA_SIGN_TIMESTAMP_URL})
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -f ${file}.signed
    COMMAND ${OSSLSIGNCODE} sign ${options} -in ${file} -out ${file}.signed
    COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
