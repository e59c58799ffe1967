# Shared by the toolchain files: Debian's cross compiler for
# ${qelt_cross_triplet}, with libraries, headers and packages taken from its
# folder only and programs from the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${qelt_cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${qelt_cross_triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${qelt_cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
