-- The active bans with the epoch and the number of the last change they hold,
-- read in one step.
-- KEYS: the ban set, the change counter, the epoch. ARGV: now, epoch if none is set.
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', ARGV[1])
redis.call('SET', KEYS[3], ARGV[2], 'NX')
return {redis.call('GET', KEYS[3]), tonumber(redis.call('GET', KEYS[2]) or '0'),
        redis.call('ZRANGEBYSCORE', KEYS[1], '(' .. ARGV[1], '+inf', 'WITHSCORES')}
