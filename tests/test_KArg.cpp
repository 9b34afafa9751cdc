// Tests for KArg
