# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# Cross build for 64-bit ARM Linux (arm64) with Debian's g++-aarch64-linux-gnu,
# static.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_triplet aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/static-cross.cmake)

# The Debian architecture of the packages that cpack makes from this build.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
