# ARMv7-A, EABI, hard float.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triple arm-linux-gnueabihf)
set(cross_qemu qemu-arm)
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfloat-abi=hard -mfpu=vfpv3-d16")
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
