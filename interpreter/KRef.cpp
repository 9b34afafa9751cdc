// KRef
