// KNS
