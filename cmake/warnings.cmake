# Compiler settings shared by every target.
#
# -ffp-contract=off: AArch64 has fused multiply-add in its base instruction
# set and compilers fuse by default there, which would make the register
# codes computed from voltages differ from those computed on x86-64.
add_compile_options(-Wall -Wextra -Wpedantic -ffp-contract=off)
if(QELT_WERROR)
  add_compile_options(-Werror)
endif()
if(QELT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(QELT_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # One shared sanitizer runtime for programs and library, as with gcc:
  # the library is linked with --no-undefined.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
                  OUTPUT_VARIABLE sanitizer_runtime_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  add_link_options(-shared-libsan LINKER:-rpath,${sanitizer_runtime_dir})
endif()
if(QELT_FUZZ)
  # Coverage feedback from every part a fuzz target reaches.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(QELT_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
