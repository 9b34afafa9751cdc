// KOpsStruct
