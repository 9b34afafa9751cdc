// KSeq
