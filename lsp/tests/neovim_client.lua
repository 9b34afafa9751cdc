-- Drives tarq-lsp with Neovim's own LSP client, headless: diagnostics on
-- open and after an edit, hover, completion, definition, document symbols,
-- shutdown. Run as: nvim --headless --clean -c "lua TARQ_LSP=...; TARQ_SAMPLE=..."
-- -c "luafile neovim_client.lua". Exits 0 when every check passed, 1 otherwise.
local failures = {}
local function check(cond, what)
  if not cond then table.insert(failures, what) end
end
local function finish()
  for _, f in ipairs(failures) do io.stderr:write('FAIL: ' .. f .. '\n') end
  if #failures == 0 then
    io.stdout:write('all Neovim client checks passed\n')
    vim.cmd('qall!')
  else
    vim.cmd('cquit! 1')
  end
end

local ok, err = pcall(function()
  vim.cmd('edit ' .. vim.fn.fnameescape(TARQ_SAMPLE))
  local buf = vim.api.nvim_get_current_buf()
  vim.bo[buf].filetype = 'tarq'
  local client_id = vim.lsp.start_client({
    name = 'tarq-lsp',
    cmd = { TARQ_LSP },
    root_dir = vim.fn.fnamemodify(TARQ_SAMPLE, ':h'),
  })
  check(client_id ~= nil, 'the client starts')
  vim.lsp.buf_attach_client(buf, client_id)

  local function errors()
    return vim.diagnostic.get(buf, { severity = vim.diagnostic.severity.ERROR })
  end
  -- Diagnostics on open: ":IF {1}" on line 5 (0-based 4) needs its test.
  check(vim.wait(10000, function() return #errors() > 0 end, 20), 'diagnostics arrive on open')
  local d = errors()[1]
  check(d and d.lnum == 4 and d.col == 4 and d.message == 'Syntax error: need (test)',
        'the error is "need (test)" at 5:5, got ' .. vim.inspect(d))

  -- After an edit that supplies the test, the error is gone.
  vim.api.nvim_buf_set_lines(buf, 4, 5, false, { ':IF (count) {1}' })
  check(vim.wait(10000, function() return #errors() == 0 end, 20), 'the error goes after the edit')
  -- And an edit that breaks the text again brings one back.
  vim.api.nvim_buf_set_lines(buf, 4, 5, false, { ':IF (count) {1} :ELSE 2' })
  check(vim.wait(10000, function() return #errors() == 1 end, 20), 'a new error after a second edit')

  local function request(method, line, character, extra)
    local params = {
      textDocument = vim.lsp.util.make_text_document_params(buf),
      position = { line = line, character = character },
    }
    for k, v in pairs(extra or {}) do params[k] = v end
    local res = vim.lsp.buf_request_sync(buf, method, params, 10000)
    local r = res and res[client_id]
    return r and r.result
  end

  -- Hover on "#COS" (line 4, 0-based 3): the operator's description.
  local hover = request('textDocument/hover', 3, 11)
  local text = hover and hover.contents and hover.contents.value or ''
  check(text:find('#COS', 1, true) and text:find('Cosine', 1, true), 'hover shows #COS, got ' .. text)

  -- Completion after "co": the name the text assigns.
  local comp = request('textDocument/completion', 3, 2)
  local labels = {}
  for _, item in ipairs(comp and (comp.items or comp) or {}) do labels[item.label] = true end
  check(labels['count'], 'completion offers "count"')

  -- Definition of "inc": the name in 'inc' #OP.
  local def = request('textDocument/definition', 3, 7)
  local loc = def and (def[1] or def)
  check(loc and loc.range and loc.range.start.line == 1 and loc.range.start.character == 1,
        'definition of inc is at 2:2, got ' .. vim.inspect(def))

  -- Document symbols: inc and count.
  local syms = vim.lsp.buf_request_sync(buf, 'textDocument/documentSymbol',
    { textDocument = vim.lsp.util.make_text_document_params(buf) }, 10000)
  local names = {}
  for _, s in ipairs((syms and syms[client_id] and syms[client_id].result) or {}) do names[s.name] = true end
  check(names['inc'] and names['count'], 'document symbols list inc and count')

  -- Shutdown: the server answers and exits.
  vim.lsp.stop_client(client_id)
  check(vim.wait(10000, function() return vim.lsp.client_is_stopped(client_id) end, 20), 'the server stops')
end)
check(ok, 'no Lua error: ' .. tostring(err))
finish()
