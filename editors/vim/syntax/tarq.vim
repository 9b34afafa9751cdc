" Vim syntax file for Tarq texts (*.tq). The rules follow the tokenizer:
" comments "$$ ..." and "$* ... *$", quotes '...' and "..." (they may span
" lines), "$R<delim>$r ... <delim>" texts, control words (":IF" ...),
" "#" operators, fields (":name", ".name"), numbers ("_" is the minus sign),
" directives ("$P", "$t" ...) and the display mark "$".
if exists('b:current_syntax')
  finish
endif
syntax case ignore

syntax match tarqOperator   "[`,+\-<>?~!|=@#%&*^\\/]\+"
syntax match tarqOpWord     "#[A-Za-z][A-Za-z0-9]*"
syntax match tarqName       "\<[A-Za-z][A-Za-z0-9_]*"
syntax match tarqField      "[:.][A-Za-z][A-Za-z0-9_]*"
syntax match tarqNumber     "\(\<\|[^A-Za-z0-9_]\@<=\)[0-9_][0-9_]*\(\.[0-9_]\+\)\=\([eE][+_]\=[0-9]\+\)\="
syntax match tarqNumber     "[.:][0-9_][0-9_]*\([eE][+_]\=[0-9]\+\)\="
syntax match tarqControl    ":\(ELSEIF\|ELSE\|IF\|FOR\|WHILE\|DO\|SELECT\|CASE\|DEFAULT\|BREAK\|CONTINUE\|RETURN\|THROW\|TRY\|CATCH\|UNTIL\)"
syntax match tarqControl    "::?\=\|:|\|:\~\|:->\|:\*\|:+\|:??\=\|:@&\|:<-\|:\^\|:!!\=\|:-"
syntax match tarqSeparator  ";"
syntax match tarqDirective  "\$[CcPpTtVvDdSs]"
syntax match tarqDisplay    "\$\*\*\(\*\)\@!\|\$\([$*RrCcPpTtVvDdSs]\)\@!"
syntax region tarqString    start=+'+ end=+'+
syntax region tarqString    start=+"+ end=+"+
syntax region tarqBulk      matchgroup=tarqBulkMark start=+\$R\z(\(\$r\)\@!.\{-}\)\$r+ end=+\z1+
syntax match tarqComment    "\$\$.*$" contains=@Spell
syntax region tarqComment   start=+\$\*\(\*\([^*]\|$\)\)\@!+ end=+\*\$+ contains=@Spell

highlight default link tarqOperator  Operator
highlight default link tarqOpWord    Function
highlight default link tarqName      Identifier
highlight default link tarqField     Type
highlight default link tarqNumber    Number
highlight default link tarqControl   Conditional
highlight default link tarqSeparator Delimiter
highlight default link tarqDirective PreProc
highlight default link tarqDisplay   PreProc
highlight default link tarqString    String
highlight default link tarqBulk      String
highlight default link tarqBulkMark  Special
highlight default link tarqComment   Comment

let b:current_syntax = 'tarq'
