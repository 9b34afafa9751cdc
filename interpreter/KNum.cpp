// KNum
