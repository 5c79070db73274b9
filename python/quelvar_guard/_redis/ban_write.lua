-- Writes a batch of (address, expiry) pairs; an empty expiry lifts the ban,
-- one not after `now` leaves no entry. Prunes what has expired, numbers the
-- change and announces it, all in one step.
-- KEYS: the ban set, the change counter, the epoch.
-- ARGV: channel, now, epoch if none is set, body, then address/expiry pairs.
local now = tonumber(ARGV[2])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
for i = 5, #ARGV, 2 do
  local expires = tonumber(ARGV[i + 1])
  if expires and expires > now then
    redis.call('ZADD', KEYS[1], ARGV[i + 1], ARGV[i])
  else
    redis.call('ZREM', KEYS[1], ARGV[i])
  end
end
if ARGV[4] == 'clear' then redis.call('DEL', KEYS[1]) end
redis.call('SET', KEYS[3], ARGV[3], 'NX')
local epoch = redis.call('GET', KEYS[3])
local seq = redis.call('INCR', KEYS[2])
redis.call('PUBLISH', ARGV[1], epoch .. ' ' .. seq .. ' ' .. ARGV[4])
return seq
