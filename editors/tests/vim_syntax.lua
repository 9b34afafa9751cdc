-- Loads a sample *.tq file in Neovim with the Vim files of editors/vim on the
-- runtime path and checks the filetype and the syntax group at a few places.
local failures = {}
vim.cmd('filetype plugin on')
vim.cmd('syntax on')
vim.g.tarq_no_lsp = 1
vim.cmd('edit ' .. vim.fn.fnameescape(TARQ_SAMPLE))
if vim.bo.filetype ~= 'tarq' then table.insert(failures, 'filetype is "' .. vim.bo.filetype .. '"') end
if vim.bo.commentstring ~= '$$ %s' then table.insert(failures, 'commentstring is ' .. vim.bo.commentstring) end
local function group(line, col)
  return vim.fn.synIDattr(vim.fn.synID(line, col, 1), 'name')
end
local want = {
  { 1, 1, 'tarqNumber' }, { 1, 7, 'tarqOperator' }, { 1, 13, 'tarqComment' },
  { 2, 1, 'tarqControl' }, { 2, 6, 'tarqName' }, { 2, 10, 'tarqString' }, { 2, 17, 'tarqControl' },
  { 2, 26, 'tarqOpWord' }, { 3, 2, 'tarqField' }, { 3, 8, 'tarqSeparator' }, { 3, 10, 'tarqName' },
}
for _, w in ipairs(want) do
  local got = group(w[1], w[2])
  if got ~= w[3] then
    table.insert(failures, string.format('%d:%d is %s, want %s', w[1], w[2], got, w[3]))
  end
end
for _, f in ipairs(failures) do io.stderr:write('FAIL: ' .. f .. '\n') end
if #failures == 0 then vim.cmd('qall!') else vim.cmd('cquit! 1') end
