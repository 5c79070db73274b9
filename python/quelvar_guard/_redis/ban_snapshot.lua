-- The active bans with the epoch, the number of the last change they hold and
-- the server's clock (s, us), read in one step.
-- KEYS: the ban set, the change counter, the epoch. ARGV: epoch if none is set.
local t = redis.call('TIME')
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', t[1])
redis.call('SET', KEYS[3], ARGV[1], 'NX')
return {redis.call('GET', KEYS[3]), tonumber(redis.call('GET', KEYS[2]) or '0'),
        redis.call('ZRANGEBYSCORE', KEYS[1], '(' .. t[1], '+inf', 'WITHSCORES'), t}
