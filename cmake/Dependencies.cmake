# zlib comes from Debian's libz-mingw-w64-dev; the static archive is named
# explicitly so that the program never needs zlib1.dll.
find_library(ZLIB_STATIC_LIBRARY NAMES libz.a REQUIRED)
find_path(ZLIB_INCLUDE_DIR zlib.h REQUIRED)
add_library(zlib_static INTERFACE)
target_link_libraries(zlib_static INTERFACE ${ZLIB_STATIC_LIBRARY})
target_include_directories(zlib_static SYSTEM INTERFACE ${ZLIB_INCLUDE_DIR})

# nlohmann-json is header-only and lives in the host's /usr/include, which the
# cross compiler must not see as a whole: expose just that one folder.
set(NLOHMANN_SOURCE_DIR /usr/include/nlohmann)
if(NOT EXISTS ${NLOHMANN_SOURCE_DIR}/json.hpp)
  message(FATAL_ERROR "nlohmann-json3-dev is not installed (run scripts/install-deps.sh)")
endif()
set(NLOHMANN_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/deps/include)
file(MAKE_DIRECTORY ${NLOHMANN_INCLUDE_ROOT})
file(CREATE_LINK ${NLOHMANN_SOURCE_DIR} ${NLOHMANN_INCLUDE_ROOT}/nlohmann SYMBOLIC)
add_library(nlohmann_json_headers INTERFACE)
target_include_directories(nlohmann_json_headers SYSTEM INTERFACE ${NLOHMANN_INCLUDE_ROOT})
