// Tests for KNum
