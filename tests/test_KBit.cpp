// Tests for KBit
