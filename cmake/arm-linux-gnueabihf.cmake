# Cross build for 32-bit ARM Linux (Debian's gcc-arm-linux-gnueabihf): the
# guest of the kernel test, and a check of the code with 32-bit long and
# pointers.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(qelt_cross_triplet arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
