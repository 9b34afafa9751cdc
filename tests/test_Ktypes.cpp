// Tests for Ktypes
