// Tests for KOps
