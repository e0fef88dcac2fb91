# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# The part the cross toolchain files share: Debian's cross g++ for
# cross_triplet, linked statically, so the binary runs on a board with no
# matching libc.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(MSGS_IIC_STATIC ON)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
