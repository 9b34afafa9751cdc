// KOpsReduce
