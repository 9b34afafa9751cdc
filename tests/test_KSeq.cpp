// Tests for KSeq
