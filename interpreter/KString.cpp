// KString
