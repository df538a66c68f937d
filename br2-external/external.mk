include $(sort $(wildcard $(BR2_EXTERNAL_KELVANE_PATH)/package/*/*.mk))
