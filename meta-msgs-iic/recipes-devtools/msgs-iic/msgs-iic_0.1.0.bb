# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
SUMMARY = "Write and read-back test for an I2C EEPROM at 0x50"
DESCRIPTION = "msgs_iic writes the bytes 0 to 7 to the EEPROM at bus \
address 0x50 on /dev/i2c-0 from word address 0x10 in one I2C_RDWR request, \
reads them back in one combined request and prints them; msgs_iic_on BUS \
runs it on another bus and puts back the eight bytes it overwrites. \
WARNING: on a PC, 0x50 is often a memory module's SPD EEPROM or a monitor's \
EDID. The -dev and -staticdev packages hold the routines as a static library \
with their header, CMake package and pkg-config file."
HOMEPAGE = "https://git.example.invalid/msgs_iic"
SECTION = "console/utils"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=4f97e822e21c0c81a21e1554dcb18de5"

SRC_URI = "git://git.example.invalid/msgs_iic.git;protocol=https;branch=main"
# The 0.1.0 release.
SRCREV = "abd36f8bcb306574fc02bfcb47e6947e94c69733"
S = "${WORKDIR}/git"

inherit cmake

# The distribution's compiler and flags, whose warnings are not errors here.
EXTRA_OECMAKE = "-DMSGS_IIC_WERROR=OFF -DBUILD_TESTING=OFF"

# The packages as Yocto splits them: ${PN} the programs, ${PN}-dev the
# header, CMake package and pkg-config file, ${PN}-staticdev the library,
# ${PN}-doc the man pages and the licence.
