// Tests for KString
