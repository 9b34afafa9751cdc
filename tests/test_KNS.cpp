// Tests for KNS
