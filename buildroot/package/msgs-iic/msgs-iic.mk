################################################################################
#
# msgs-iic
#
################################################################################

MSGS_IIC_VERSION = 0.1.0
MSGS_IIC_SOURCE = msgs_iic-$(MSGS_IIC_VERSION).tar.gz
MSGS_IIC_SITE = https://git.example.invalid/msgs_iic/releases
MSGS_IIC_LICENSE = MIT
MSGS_IIC_LICENSE_FILES = LICENSE
MSGS_IIC_INSTALL_STAGING = YES
MSGS_IIC_CONF_OPTS = -DMSGS_IIC_WERROR=OFF -DBUILD_TESTING=OFF

$(eval $(cmake-package))
