# cmake/WriteBuildConfig.cmake for a second build of the program (cmake -P):
# a script runs under CMake's oldest policies, where if(IN_LIST), which the
# list of further hosts needs, does not exist; the build's own configure
# runs it under the project's.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/WriteBuildConfig.cmake)
