-- (c) calls of a tiny function. Usage: lua5.4 call.lua [N=100000]
local function bump(c)
  return c + 1
end

local function main(n)
  local c = 0
  for i = 1, n do c = bump(c) end
  return c
end

print(main(tonumber(arg[1]) or 100000))
