# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# The hardening that Debian gives its packages (dpkg-buildflags with
# hardening=+all), for Release and RelWithDebInfo builds, unless the person
# building sets compile flags of their own or asks for sanitizers.
# Sets hardening_compile and hardening_link for msgs_iic_flags().
set(hardening_compile)
set(hardening_link)
if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo)$"
   AND NOT CMAKE_CXX_FLAGS AND NOT CMAKE_C_FLAGS AND NOT MSGS_IIC_SANITIZE)
  set(hardening_compile -fstack-protector-strong -fstack-clash-protection
    -Wformat -Werror=format-security -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    list(APPEND hardening_compile -fcf-protection)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    list(APPEND hardening_compile -mbranch-protection=standard)
  endif()
  set(hardening_link -Wl,-z,relro -Wl,-z,now)
  # A static binary cannot be a PIE; the rest are, whatever the compiler's
  # default.
  if(NOT MSGS_IIC_STATIC)
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  endif()
endif()
