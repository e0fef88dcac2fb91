include $(sort $(wildcard $(BR2_EXTERNAL_MSGS_IIC_PATH)/package/*/*.mk))
