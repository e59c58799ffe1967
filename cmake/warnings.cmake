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
if(QELT_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
