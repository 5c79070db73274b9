-- One unit of a token bucket shared by every process (RedisStore.take_budget).
-- The bucket is one number: the time, in microseconds of this server's clock,
-- at which it is full again. Taking a unit moves that time on by one interval;
-- a bucket that would then be owed more than `burst` units refuses. A full
-- bucket is no key at all: each key expires when its bucket is full again.
--
-- KEYS[1]: the bucket. ARGV[1]: microseconds per unit (1/rate). ARGV[2]: burst.
-- Returns 0 when a unit was taken, else the microseconds until one can be.
local interval = tonumber(ARGV[1])
local burst = tonumber(ARGV[2])
local clock = redis.call('TIME')
local now = tonumber(clock[1]) * 1000000 + tonumber(clock[2])
local full_at = math.max(tonumber(redis.call('GET', KEYS[1]) or 0) or 0, now) + interval
local wait = full_at - now - burst * interval
if wait > 0 then
  return math.ceil(wait)
end
redis.call('SET', KEYS[1], string.format('%d', full_at), 'PX', math.ceil((full_at - now) / 1000))
return 0
