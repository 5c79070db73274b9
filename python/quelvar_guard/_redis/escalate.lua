-- Raises a client's suspicion levels and, for a ban, counts it in the
-- client's ban history (RedisStore.escalate). A level is "value microseconds"
-- of this server's clock, halving every half-life; it expires once below
-- 0.01. The history is a sorted set of ban times, trimmed to the window.
--
-- KEYS: the level keys, then the ban history's key if a ban is counted,
-- then the decision history's key if a note is kept.
-- ARGV: how many level keys, the amount, the half-life and the window, both
-- in microseconds, 1 if a ban is counted, and the note (empty: none), kept
-- as the newest of the last HISTORY in the decision history for the window.
-- Returns {the highest new level in thousandths, the bans in the window}.
local levels = tonumber(ARGV[1])
local amount = tonumber(ARGV[2])
local half_life = tonumber(ARGV[3])
local window = tonumber(ARGV[4])
local clock = redis.call('TIME')
local now = tonumber(clock[1]) * 1000000 + tonumber(clock[2])
local highest = 0
for i = 1, levels do
  local level = 0
  local held = redis.call('GET', KEYS[i])
  if held then
    local value, at = string.match(held, '^(%S+) (%S+)$')
    if value then
      level = tonumber(value) * 0.5 ^ (math.max(0, now - tonumber(at)) / half_life)
    end
  end
  level = level + amount
  highest = math.max(highest, level)
  local ttl = math.ceil(half_life * math.log(level / 0.01) / math.log(2) / 1000)
  if level > 0.01 then
    redis.call('SET', KEYS[i], string.format('%.6f %d', level, now), 'PX', math.max(ttl, 1))
  end
end
local count = 0
local counted = ARGV[5] == '1'
if counted then
  local history = KEYS[levels + 1]
  redis.call('ZADD', history, now, now)
  redis.call('ZREMRANGEBYSCORE', history, '-inf', now - window)
  count = redis.call('ZCARD', history)
  redis.call('PEXPIRE', history, math.ceil(window / 1000))
end
local note = ARGV[6]
if note and note ~= '' then
  local notes = KEYS[levels + (counted and 2 or 1)]
  redis.call('LPUSH', notes, note)
  redis.call('LTRIM', notes, 0, 19)
  redis.call('PEXPIRE', notes, math.ceil(window / 1000))
end
return {math.floor(highest * 1000), count}
