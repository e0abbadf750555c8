# What a maker sets for their own release. Every value is compiled into the
# program; there is no configuration file, command-line option or registry
# setting. Override with -D on the first configure, e.g.
#   cmake -DVELTRA_RELEASE_NAME=Veltra_R2 -DVELTRA_SAS="?sv=...&sig=..." ...
set(VELTRA_RELEASE_NAME "Veltra_R1" CACHE STRING
  "Release the program fetches; the program file is <name>_web.exe")
# The defaults are the test servers of slot 4 in subnet 10 (tests/hosts), so
# that a plain build runs whole against them and never reaches out.
set(VELTRA_HOST_NAME "host4.s10.veltra.test" CACHE STRING
  "Download host of every request")
set(VELTRA_DOWNLOAD_SUBDIR "veltra_r1" CACHE STRING
  "Folder of the release on the download host")
set(VELTRA_PRODUCT_CODE "R1" CACHE STRING
  "Product code inserted into local file names (Setup.exe -> Setup_R1.exe)")
set(VELTRA_SAS "?sv=placeholder&sig=placeholder" CACHE STRING
  "Access signature appended to every object path; never logged")
set(VELTRA_MIRRORS "" CACHE STRING
  "Further download hosts of the same release, in order: HOST,SUBDIR,SIGNATURE;... (empty: one host)")
set(VELTRA_DEFAULT_HOST "host4.s10.veltra.test" CACHE STRING
  "Built-in host name the dialog hands to the download manager")
set(VELTRA_LOG_SERVICE_URL "https://log4.s10.veltra.test:8443/Veltra/DownloadManager8.ashx" CACHE STRING
  "Address the compressed log is posted to")
set(VELTRA_SUPPORT_URL "https://host4.s10.veltra.test/support/" CACHE STRING
  "Support-centre page opened when a download cannot complete")
set(VELTRA_FAQ_ADDRESS "www.veltra.test/faq" CACHE STRING
  "FAQ page named in the tips, without a scheme")
set(VELTRA_FORUM_ADDRESS "forum.veltra.test" CACHE STRING
  "User forum named in the tips, without a scheme")
set(VELTRA_SETUP_SIGNERS "" CACHE STRING
  "SHA-256 thumbprints (';'-separated) of certificates one of which must be in the chain of the setup's signature; empty: not checked")
set(VELTRA_FILE_VERSION "9.5.0.0" CACHE STRING
  "Version resource of the program: four numbers separated by dots")
set(VELTRA_PARTS_IN_FLIGHT 6 CACHE STRING
  "Parts fetched at once, each on its own connection; 1 fetches one after another")
if(NOT VELTRA_PARTS_IN_FLIGHT MATCHES "^[1-9][0-9]?$")
  message(FATAL_ERROR "VELTRA_PARTS_IN_FLIGHT must be a number from 1 to 99")
endif()

# A program for a real host with the placeholder signature would be refused
# on every request; only programs for the test hosts (*.veltra.test) may be
# built without a real one.
if(VELTRA_SAS STREQUAL "?sv=placeholder&sig=placeholder" AND
   NOT VELTRA_HOST_NAME MATCHES "\\.veltra\\.test$")
  message(FATAL_ERROR "VELTRA_SAS is still the placeholder, but VELTRA_HOST_NAME "
    "(${VELTRA_HOST_NAME}) is not a test host: set -DVELTRA_SAS to the release's "
    "read signature (made by `publisher sas`, see README.md)")
endif()

if(NOT VELTRA_FILE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "VELTRA_FILE_VERSION must be four numbers, e.g. 9.5.0.0")
endif()
string(REPLACE "." "," VELTRA_FILE_VERSION_COMMAS "${VELTRA_FILE_VERSION}")

set(VELTRA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(VELTRA_CONFIG_HEADER ${VELTRA_GENERATED_DIR}/config/buildconfig.h)
include(${CMAKE_CURRENT_LIST_DIR}/WriteBuildConfig.cmake)
add_library(build_config INTERFACE)
target_include_directories(build_config INTERFACE ${VELTRA_GENERATED_DIR})
