// KClock
