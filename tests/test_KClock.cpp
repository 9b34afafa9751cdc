// Tests for KClock
