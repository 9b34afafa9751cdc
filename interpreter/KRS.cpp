// KRS
