// KBlock
