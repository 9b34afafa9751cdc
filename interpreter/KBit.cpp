// KBit
