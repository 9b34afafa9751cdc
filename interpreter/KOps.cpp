// KOps
