# Cross build for the system-on-module (Debian's gcc-aarch64-linux-gnu).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(qelt_cross_triplet aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
