-- One telemetry token's take from a client's token buckets, and its
-- suspicion level (RedisStore.admit): every bucket or none. Each bucket is one
-- number, as in budget.lua: the time, in microseconds of this server's clock,
-- at which it is full again. A bucket may be owed up to `limit` bursts (the
-- client pays for the debt with work); past that nothing is taken.
--
-- KEYS: the buckets, then the level keys. ARGV[1]: how many buckets; then
-- per bucket its microseconds per unit and its burst; then the limit in
-- bursts, the levels' half-life in microseconds and 1 to look without taking.
-- Returns {microseconds to wait or 0, the largest debt in millionths of a
-- burst, the highest level in thousandths}.
local buckets = tonumber(ARGV[1])
local limit = tonumber(ARGV[2 * buckets + 2])
local half_life = tonumber(ARGV[2 * buckets + 3])
local look = ARGV[2 * buckets + 4] == '1'
local clock = redis.call('TIME')
local now = tonumber(clock[1]) * 1000000 + tonumber(clock[2])
local wait, owed, full = 0, 0, {}
for i = 1, buckets do
  local interval = tonumber(ARGV[2 * i])
  local burst = tonumber(ARGV[2 * i + 1])
  local full_at = math.max(tonumber(redis.call('GET', KEYS[i]) or 0) or 0, now) + interval
  local debt = (full_at - now) / interval / burst
  if debt > limit then
    wait = math.max(wait, full_at - now - limit * burst * interval)
  end
  owed = math.max(owed, debt)
  full[i] = full_at
end
local level = 0
for i = buckets + 1, #KEYS do
  local held = redis.call('GET', KEYS[i])
  if held then
    local value, at = string.match(held, '^(%S+) (%S+)$')
    if value then
      level = math.max(level, tonumber(value) * 0.5 ^ (math.max(0, now - tonumber(at)) / half_life))
    end
  end
end
if wait <= 0 and not look then
  for i = 1, buckets do
    redis.call('SET', KEYS[i], string.format('%d', full[i]), 'PX', math.ceil((full[i] - now) / 1000))
  end
end
return {math.ceil(math.max(wait, 0)), math.floor(owed * 1000000), math.floor(level * 1000)}
