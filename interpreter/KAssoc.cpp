// KAssoc
