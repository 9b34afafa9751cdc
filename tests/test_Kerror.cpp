// Tests for Kerror
