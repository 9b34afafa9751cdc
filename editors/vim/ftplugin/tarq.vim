" Tarq texts: comments, and in Neovim the language server tarq-lsp (when it
" is on the PATH) for diagnostics, completion, hover, definitions and symbols.
if exists('b:did_ftplugin')
  finish
endif
let b:did_ftplugin = 1
setlocal commentstring=$$\ %s
setlocal comments=:$$
let b:undo_ftplugin = 'setlocal commentstring< comments<'

if has('nvim-0.7') && executable('tarq-lsp') && !get(g:, 'tarq_no_lsp', 0)
lua << LUA
  local root = vim.fn.expand('%:p:h')
  local config = { name = 'tarq-lsp', cmd = { 'tarq-lsp' }, root_dir = root }
  if vim.lsp.start then
    vim.lsp.start(config)
  else
    -- Neovim 0.7: one client shared by every Tarq buffer.
    if not _G.tarq_lsp_client or vim.lsp.client_is_stopped(_G.tarq_lsp_client) then
      _G.tarq_lsp_client = vim.lsp.start_client(config)
    end
    if _G.tarq_lsp_client then vim.lsp.buf_attach_client(0, _G.tarq_lsp_client) end
  end
LUA
endif
