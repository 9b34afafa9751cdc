" Tarq texts: *.tq
autocmd BufRead,BufNewFile *.tq setfiletype tarq
