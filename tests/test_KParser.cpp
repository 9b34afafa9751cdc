// Tests for KParser
