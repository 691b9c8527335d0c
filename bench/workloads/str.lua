-- (b) string concatenation, substring and length per iteration. Usage: lua5.4 str.lua [N=200000]
local function main(n)
  local s, t = "", 0
  for i = 1, n do
    s = s .. "xy"
    local u = s:sub(2, 4)
    local k = #s
    t = t + #u
    if k > 40 then s = "" end
  end
  return t
end

print(main(tonumber(arg[1]) or 200000))
