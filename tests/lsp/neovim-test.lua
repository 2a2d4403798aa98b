-- Run by neovim.sh in a headless Neovim 0.7: opens $DIR/edit.dbr with
-- tervalo-cli lsp attached, writes the diagnostics it shows (LINE:COL:
-- REASON, 1-based, byte columns as Neovim turns them into) to found.txt,
-- mends the bad lines, formats, and writes the buffer before and after
-- formatting. Any failure ends Neovim with status 1.
local dir = os.getenv('DIR')
local function fail(why)
  io.stderr:write(why .. '\n')
  vim.cmd('cquit 1')
end
local function wait_for(what, test)
  if not vim.wait(20000, test, 20) then fail('timed out waiting for ' .. what) end
end

vim.cmd('edit ' .. dir .. '/edit.dbr')
local client = vim.lsp.start_client({ name = 'tervalo', cmd = { os.getenv('CLI'), 'lsp' }, root_dir = dir })
if not client then fail('the server did not start') end
vim.lsp.buf_attach_client(0, client)

wait_for('the diagnostics of the bad lines', function() return #vim.diagnostic.get(0) > 0 end)
local found = {}
for _, d in ipairs(vim.diagnostic.get(0)) do
  table.insert(found, string.format('%d:%d: %s', d.lnum + 1, d.col + 1, d.message))
end
table.sort(found)
vim.fn.writefile(found, dir .. '/found.txt')

-- Mend each bad line (through incremental changes), then put one more line
-- out of order.
local lines = vim.api.nvim_buf_get_lines(0, 0, -1, false)
for i, line in ipairs(lines) do
  if not line:find(',.') or line:sub(1, 1) == ',' then
    vim.api.nvim_buf_set_text(0, i - 1, 0, i - 1, #line, { 'mended' .. i .. ',' .. line:gsub(',', '') .. 'x' })
  end
end
vim.api.nvim_buf_set_lines(0, 0, 0, false, { 'zz\u{e9}\u{1D11E},last' })
wait_for('only the note on the order', function()
  local d = vim.diagnostic.get(0)
  return #d == 1 and d[1].message == 'not in normal order' and d[1].lnum == 0
end)
vim.cmd('silent write! ' .. dir .. '/before.dbr')
vim.lsp.buf.formatting_sync(nil, 20000)
vim.cmd('silent write! ' .. dir .. '/after.dbr')
wait_for('no diagnostics', function() return #vim.diagnostic.get(0) == 0 end)
vim.lsp.stop_client(client)
vim.cmd('qall!')
