# Shared by the Arm toolchain files: they set cross_triple and cross_qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A static program must run with no sysroot at all, so it gets none.
if(TOOLS_STATIC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_qemu})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_qemu} -L /usr/${cross_triple})
endif()
