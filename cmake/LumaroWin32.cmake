# Build settings shared by the Windows targets of this tree.
#   lumaro_win32_program(<target>...)     a Win32 program other than the launcher
#       (tests, in-Wine tools, benchmarks): wide-character entry point, lean headers.
#   lumaro_without_exceptions(<target>...) code that ends up in the launcher.
include_guard(GLOBAL)

function(lumaro_win32_program)
  foreach(target IN LISTS ARGN)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_link_options(${target} PRIVATE -municode)
  endforeach()
endfunction()

# Nothing in the launcher throws or catches; with exceptions on, the library's
# own helpers would still bring the unwinder into the exe.
function(lumaro_without_exceptions)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -fno-exceptions)
  endforeach()
endfunction()
