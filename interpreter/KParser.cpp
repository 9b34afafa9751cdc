// KParser
