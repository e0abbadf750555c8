# Flags shared by every target of ours (not by GoogleTest's own sources).
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Werror
  # Lets a processor fault inside any instruction unwind like a throw, so
  # that the fault translator's exceptions reach ordinary catch clauses.
  -fnon-call-exceptions
  # One section per function and object, so that the linker can leave out
  # whatever nothing calls (most of libstdc++'s and json's instantiations).
  -ffunction-sections -fdata-sections)
target_compile_definitions(project_options INTERFACE
  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
# One self-contained .exe: libstdc++, libgcc and winpthreads linked in.
target_link_options(project_options INTERFACE -static -static-libgcc -static-libstdc++
  -Wl,--gc-sections)
