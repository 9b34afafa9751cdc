// Tests for KB
