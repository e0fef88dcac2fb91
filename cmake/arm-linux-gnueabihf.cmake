# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# Cross build for 32-bit ARM Linux (armhf) with Debian's g++-arm-linux-gnueabihf,
# static.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/static-cross.cmake)

# The Debian architecture of the packages that cpack makes from this build.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
