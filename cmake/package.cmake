# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# Debian packages through CPack: msgs-iic (the programs and their man pages),
# msgs-iic-dbgsym (their debug symbols) and msgs-iic-dev (the library, its
# header, CMake package and pkg-config file). scripts/package builds them
# for the host, armhf or arm64.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME msgs-iic)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "msgs_iic maintainers <maintainers@msgs-iic.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Each component's description is its summary line, then plain lines that
# CPack indents as Debian wants (an empty line becomes " ."); a project-wide
# summary would be put in front of both.
set(CPACK_COMPONENTS_ALL bin dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The cross build's toolchain file names the architecture; a native build
# asks dpkg, as CPack does by default.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(warning_0x50 "WARNING: on a PC, address 0x50 on an I2C bus is often a memory module's
SPD EEPROM or a monitor's EDID. Writing there can leave the machine unable
to boot or the monitor unrecognised. Use it only where 0x50 is an EEPROM
that may be written.")

set(CPACK_DEBIAN_BIN_PACKAGE_NAME msgs-iic)
set(CPACK_DEBIAN_BIN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_BIN_DESCRIPTION "write and read-back test for an I2C EEPROM
msgs_iic opens /dev/i2c-0, writes the bytes 0 to 7 to the EEPROM at bus
address 0x50 from word address 0x10 in one I2C_RDWR request, reads them
back in one combined request and prints each byte. A few seconds tell
whether the path from user space through the kernel's I2C stack to the
chip works. It needs the i2c-dev module and access to /dev/i2c-0.
msgs_iic_on BUS runs it on another bus, in a /dev of its own, after asking,
and puts back the eight bytes it overwrites.

${warning_0x50}")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME msgs-iic-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "EEPROM write and read routines over I2C_RDWR (development)
eeprom_write and eeprom_read, as a static library with C linkage, for
programs that hold an open i2c-dev descriptor: the first writes up to
eight bytes (one page of a 24C01 or 24C02), the second reads up to 65535,
each as one combined I2C_RDWR transaction at a one-byte word address.
With the header msgs_iic.h, a CMake package (find_package(msgs_iic),
target msgs_iic::eeprom) and a pkg-config file (msgs_iic).

${warning_0x50}")

# Native builds link libc dynamically; the cross builds are static.
if(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_BIN_PACKAGE_SHLIBDEPS ON)
endif()

# The programs stripped, their debug symbols in msgs-iic-dbgsym, split with
# the binutils of the build's own target.
set(CPACK_DEBIAN_BIN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/dbgsym.cmake)

# Each package's /usr/share/doc: the licence in Debian's machine-readable
# form and the changelog, compressed as Debian has it.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(FIND "${licence}" "Permission" start)
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(WRITE ${PROJECT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: msgs_iic
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 The msgs_iic authors
License: MIT
 ${licence}
")
add_custom_command(OUTPUT changelog.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/doc/changelog > changelog.gz
  DEPENDS doc/changelog)
add_custom_target(changelog ALL DEPENDS changelog.gz)
foreach(component bin dev)
  string(TOUPPER ${component} name)
  install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${name}_PACKAGE_NAME}
    COMPONENT ${component})
endforeach()

# As Debian ships them: no .comment section (the compiler's version) in the
# programs, whose debug information goes to msgs-iic-dbgsym, and none of
# either in the static library.
install(CODE "foreach(program msgs_iic msgs_iic_on)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()" COMPONENT bin)
install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-debug
  --remove-section=.comment --enable-deterministic-archives
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libmsgs_iic.a\"
  COMMAND_ERROR_IS_FATAL ANY)" COMPONENT dev)

# The cross-built programs are static on purpose; the override says why.
if(MSGS_IIC_STATIC)
  install(FILES cmake/msgs-iic.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME msgs-iic
    COMPONENT bin)
endif()

include(CPack)
