// KOpsArith
