// KOpsCore
