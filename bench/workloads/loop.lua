-- (a) counted loop: integer add and a comparison per iteration. Usage: lua5.4 loop.lua [N=1000000]
local function main(n)
  local s = 0
  for i = 1, n do
    s = s + i
    if s > 1000000000 then s = s - 1000000000 end
  end
  return s
end

print(main(tonumber(arg[1]) or 1000000))
